/* A running objtool (tests/support/objtool.cpp): its steps' lines are read as
 * they come; closing its standard input ends a "hold" step. */
#ifndef PELORIM_TEST_OBJTOOL_CHILD_H
#define PELORIM_TEST_OBJTOOL_CHILD_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

class ObjtoolChild {
  public:
    explicit ObjtoolChild(const std::vector<std::string> &steps) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) abort();
        std::string program = harness::SupportProgram("objtool");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            std::vector<char *> argv{const_cast<char *>(program.c_str())};
            for (const std::string &step : steps) argv.push_back(const_cast<char *>(step.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    ~ObjtoolChild() {
        if (pid_ > 0) Kill();
        close(input_);
        close(output_);
    }

    /* The next line without its line feed; "" after `seconds` or at the end. */
    std::string ReadLine(double seconds = 10) {
        for (;;) {
            size_t end = buffered_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return line;
            }
            struct pollfd ready = {output_, POLLIN, 0};
            if (poll(&ready, 1, (int)(seconds * 1000)) <= 0) return "";
            char chunk[256];
            ssize_t length = read(output_, chunk, sizeof chunk);
            if (length <= 0) return "";
            buffered_.append(chunk, (size_t)length);
        }
    }

    /* Ends the current "hold" step. */
    void Continue() {
        ssize_t written = write(input_, "\n", 1);
        (void)written;
    }

    /* Ends every "hold" step; the remaining steps run. */
    void EndHold() {
        close(input_);
        input_ = -1;
    }

    /* The exit status of waitpid. */
    int Wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    void Kill() {
        kill(pid_, SIGKILL);
        Wait();
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1, output_ = -1;
    std::string buffered_;
};

#endif
