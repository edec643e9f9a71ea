// Child processes on Windows: CreateProcess with the standard handles
// redirected to files, and a command line quoted as the C runtime parses it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
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

// Starts the command with its standard handles redirected to files in
// capture_dir; false, with the system's error code, when it could not start.
static bool start_process(std::string& command_line, const std::string& cwd, const std::string& capture_dir,
                          PROCESS_INFORMATION& process, DWORD& error)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    // An empty file of our own as standard input, not a device of the machine.
    startup.hStdInput = inheritable_file(capture_dir + "\\stdin", GENERIC_READ, CREATE_ALWAYS);
    startup.hStdOutput = inheritable_file(capture_dir + "\\stdout", GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = inheritable_file(capture_dir + "\\stderr", GENERIC_WRITE, CREATE_ALWAYS);
    BOOL started =
        CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(), &startup, &process);
    error = started ? 0 : GetLastError();
    CloseHandle(startup.hStdInput);
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    return started;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd, uint64_t)
{
    std::string command_line;
    for (const std::string& arg : argv) {
        command_line += (command_line.empty() ? "" : " ") + quote_argument(arg);
    }
    std::string capture_dir = MakeScratchDir();
    PROCESS_INFORMATION process = {};
    DWORD error = 0;
    // Wine now and then fails a start with ERROR_INTERNAL_ERROR (twice in
    // 200 runs of the command-line tests here): the new process died while
    // Wine was still setting it up, before the program's own code ran. Such a start is
    // tried again; any other failure, or one that persists, is reported.
    bool started = start_process(command_line, cwd, capture_dir, process, error);
    for (int retry = 0; retry < 2 && !started && error == ERROR_INTERNAL_ERROR; retry++) {
        started = start_process(command_line, cwd, capture_dir, process, error);
    }
    if (!started) {
        throw std::runtime_error("cannot start " + command_line + " (error " + std::to_string(error) + ")");
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    ProcessResult result;
    result.status = static_cast<int>(exit_code);
    result.out = TakeFileText(capture_dir + "\\stdout");
    result.err = TakeFileText(capture_dir + "\\stderr");
    RemoveTree(capture_dir);
    return result;
}

void SetEnvironment(const char* name, const char* value)
{
    _putenv_s(name, value == nullptr ? "" : value);  // an empty value removes it
}
