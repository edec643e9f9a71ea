// Child processes on POSIX systems: fork, redirect, exec.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support.h"

// GALLIVOX_TEST_WRAPPER, split at spaces: a command that every child runs
// under, such as valgrind with its options.
static std::vector<std::string> wrapper_words()
{
    std::vector<std::string> words;
    const char* wrapper = getenv("GALLIVOX_TEST_WRAPPER");
    std::string word;
    for (const char* c = wrapper != nullptr ? wrapper : "";; c++) {
        if (*c == ' ' || *c == 0) {
            if (!word.empty()) {
                words.push_back(word);
            }
            word.clear();
            if (*c == 0) {
                break;
            }
        } else {
            word += *c;
        }
    }
    return words;
}

[[noreturn]] static void exec_child(const std::vector<std::string>& argv, const std::string& cwd,
                                    const std::string& in_path, const std::string& out_path,
                                    const std::string& err_path, uint64_t file_size_limit)
{
    int in = open(in_path.c_str(), O_RDONLY | O_CREAT, 0600);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(cwd.c_str()) != 0) {
        _exit(127);
    }
    if (file_size_limit != 0) {
        // SIGXFSZ keeps its default action: the tool must turn it into EFBIG itself.
        signal(SIGXFSZ, SIG_DFL);
        struct rlimit limit = {file_size_limit, file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<std::string> words = wrapper_words();
    words.insert(words.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (const std::string& word : words) {
        args.push_back(const_cast<char*>(word.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd, uint64_t file_size_limit)
{
    std::string capture_dir = MakeScratchDir();
    // An empty file of our own as standard input, not a device of the machine.
    std::string in_path = capture_dir + "/stdin";
    std::string out_path = capture_dir + "/stdout";
    std::string err_path = capture_dir + "/stderr";
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        exec_child(argv, cwd, in_path, out_path, err_path, file_size_limit);
    }
    int wait_status = 0;
    if (waitpid(pid, &wait_status, 0) != pid) {
        throw std::runtime_error("waitpid failed");
    }
    ProcessResult result;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    result.out = TakeFileText(out_path);
    result.err = TakeFileText(err_path);
    RemoveTree(capture_dir);
    return result;
}

void SetEnvironment(const char* name, const char* value)
{
    if (value == nullptr) {
        unsetenv(name);
    } else {
        setenv(name, value, 1);
    }
}
