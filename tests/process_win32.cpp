// Child processes on Windows: CreateProcess with the standard handles
// redirected to files, and a command line quoted as the C runtime parses it.
#include <windows.h>

#include <cstdio>
#include <stdexcept>

#include "support.h"

// Quotes one argument so that the runtime's parser gives it back unchanged.
// An argument without blanks or quotes stays bare, so a wildcard pattern
// reaches the child's start-up globbing as the user would type it.
static std::string quote_argument(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

static HANDLE inheritable_file(const std::string& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + path);
    }
    return file;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd, uint64_t)
{
    std::string command_line;
    for (const std::string& arg : argv) {
        command_line += (command_line.empty() ? "" : " ") + quote_argument(arg);
    }
    std::string capture_dir = MakeScratchDir();
    std::string out_path = capture_dir + "\\stdout";
    std::string err_path = capture_dir + "\\stderr";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    // An empty file of our own as standard input, not a device of the machine.
    startup.hStdInput = inheritable_file(capture_dir + "\\stdin", GENERIC_READ, CREATE_ALWAYS);
    startup.hStdOutput = inheritable_file(out_path, GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = inheritable_file(err_path, GENERIC_WRITE, CREATE_ALWAYS);
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(),
                                  &startup, &process);
    CloseHandle(startup.hStdInput);
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    if (!started) {
        throw std::runtime_error("cannot start " + command_line);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    ProcessResult result;
    result.status = static_cast<int>(exit_code);
    result.out = TakeFileText(out_path);
    result.err = TakeFileText(err_path);
    RemoveTree(capture_dir);
    return result;
}
