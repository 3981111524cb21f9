#include "common/file_text.h"

#include <stdlib.h>

#include "common/guard.h"
#include "common/stringlist.h"

char *ReadWholeFile(const char *path, size_t *size, const char **failedCall) {
    HandleGuard file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        if (failedCall != nullptr) *failedCall = "CreateFile";
        return nullptr;
    }
    size_t capacity = 4096, used = 0;
    char *buffer = static_cast<char *>(AllocateOrExit(capacity + 1));
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(file.Get(), buffer + used, (DWORD)(capacity - used), &count, nullptr)) {
            if (failedCall != nullptr) *failedCall = "ReadFile";
            free(buffer);
            return nullptr;
        }
        if (count == 0) break;
        used += count;
        if (used == capacity) {
            capacity *= 2;
            buffer = static_cast<char *>(ReallocateOrExit(buffer, capacity + 1));
        }
    }
    buffer[used] = '\0';
    *size = used;
    return buffer;
}
