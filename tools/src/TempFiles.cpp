#include "TempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace halvane_cli {

namespace {

// The part of a temporary file's name that marks it as ours: NAME + kMarker + PID-XXXXXX.
constexpr const char* kMarker = ".halvane-part-";

std::mutex g_tempMutex;
std::set<std::string>& TempFiles() {
    static std::set<std::string> files;
    return files;
}

// Whether process `pid` still runs on this machine (a process of another user counts as running).
bool ProcessRuns(long pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The process id in a temporary file's name, 0 when the name is not one of ours.
long PidOfTempName(const std::string& name) {
    const size_t at = name.rfind(kMarker);
    if (at == std::string::npos || at == 0)
        return 0;
    const char* digits = name.c_str() + at + std::strlen(kMarker);
    char* end = nullptr;
    const long pid = std::strtol(digits, &end, 10);
    return end != digits && *end == '-' && std::strlen(end) == 7 ? pid : 0;
}

// A file nobody holds a lock on, whose render is gone. The lock settles it when the process id
// was reused or the folder is shared with another machine; the process id settles the moment
// between a live render creating its file and locking it.
bool IsStale(const std::string& path, long pid) {
    if (ProcessRuns(pid))
        return false;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool stale = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return stale;
}

} // namespace

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool CreateTempBeside(const std::string& destination, TempFile& temp, std::string& error) {
    const std::string dir = DirectoryOf(destination);
    std::string name = dir + "/" + BaseName(destination) + kMarker + std::to_string(getpid()) + "-XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    std::lock_guard<std::mutex> lock(g_tempMutex);
    const int fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot write to " + dir + ": " + std::strerror(errno);
        return false;
    }
    // The lock sits on the shared open file, held by a second descriptor that stays open until the
    // file has its final name, after libsndfile has closed its own.
    const int lockFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (lockFd < 0 || flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        error = "cannot lock the temporary file in " + dir + ": " + std::strerror(errno);
        unlink(buffer.data());
        close(fd);
        if (lockFd >= 0)
            close(lockFd);
        return false;
    }
    temp.path = buffer.data();
    temp.fd = fd;
    temp.lockFd = lockFd;
    TempFiles().insert(temp.path);
    return true;
}

void ReleaseTemp(TempFile& temp, bool remove) {
    if (temp.path.empty())
        return;
    std::lock_guard<std::mutex> lock(g_tempMutex);
    if (remove)
        unlink(temp.path.c_str());
    TempFiles().erase(temp.path);
    if (temp.lockFd >= 0)
        close(temp.lockFd);
    temp = TempFile{};
}

std::vector<std::string> RemoveStaleTemps(const std::string& dir) {
    std::vector<std::string> removed;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return removed;
    while (const dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        const long pid = PidOfTempName(name);
        const std::string path = dir + "/" + name;
        if (pid != 0 && IsStale(path, pid) && unlink(path.c_str()) == 0)
            removed.push_back(path);
    }
    closedir(d);
    return removed;
}

void InstallInterruptCleanup() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    // A file size limit must show up as a write error, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set]() {
        int sig = 0;
        if (sigwait(&set, &sig) != 0)
            return;
        {
            std::lock_guard<std::mutex> lock(g_tempMutex);
            for (const std::string& f : TempFiles())
                unlink(f.c_str());
        }
        const char* name = sig == SIGINT    ? "SIGINT"
                           : sig == SIGTERM ? "SIGTERM"
                           : sig == SIGHUP  ? "SIGHUP"
                                            : "SIGQUIT";
        const std::string message =
            std::string("halvane: interrupted by ") + name + "; unfinished outputs removed\n";
        const ssize_t written = write(STDERR_FILENO, message.data(), message.size());
        (void)written;
        _exit(128 + sig);
    }).detach();
}

} // namespace halvane_cli
