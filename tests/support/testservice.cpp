#include <windows.h>

int main(void) { return 0; }
