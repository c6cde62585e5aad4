#include "common/spawn.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tonalyx {
namespace {

// The null-terminated array of pointers into `texts` that execve takes.
std::vector<char*> exec_array(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (const std::string& text : texts) {
        // execve takes char* for historical reasons only: it writes nothing there.
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The paths that execvp tries for `name`, in order: `name` itself when it holds a '/', else
// `name` in each directory of PATH (the system's own list without one), an empty directory
// being the current one.
std::vector<std::string> search_paths(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return {name};
    }
    const char* path = std::getenv("PATH");
    std::string_view directories = path != nullptr ? path : "/bin:/usr/bin";
    std::vector<std::string> paths;
    for (;;) {
        const std::size_t end = std::min(directories.find(':'), directories.size());
        const std::string_view directory = directories.substr(0, end);
        paths.push_back(directory.empty() ? name : std::string(directory) + "/" + name);
        if (end == directories.size()) {
            return paths;
        }
        directories.remove_prefix(end + 1);
    }
}

// The errors after which execvp goes on to the next directory of PATH.
bool searches_on(int error) {
    return error == ENOENT || error == ENOTDIR || error == ESTALE || error == ENODEV ||
           error == ETIMEDOUT;
}

// What the child does between fork and exec, all prepared before the fork.
struct ChildPlan {
    const std::vector<std::string>* paths;
    char* const* arguments;
    char* const* environment;
    // The descriptor each standard stream gets, or -1 to keep ours.
    std::array<int, 3> streams;
    pid_t parent;
    // The close-on-exec pipe on which a failure's errno reaches the parent.
    int report;
    // One more than the highest descriptor that can be open, for closing them one by one.
    int descriptor_limit;
};

[[noreturn]] void report_failure(int report, int error) {
    [[maybe_unused]] const ssize_t n = ::write(report, &error, sizeof error);
    ::_exit(127);
}

// Closes every descriptor from `first` to `last`, one by one below `descriptor_limit` where the
// kernel cannot close a range.
void close_between(int first, unsigned last, int descriptor_limit) {
    if (static_cast<unsigned>(first) > last) {
        return;
    }
    if (::close_range(static_cast<unsigned>(first), last, 0) != 0) {
        for (int fd = first; static_cast<unsigned>(fd) <= last && fd < descriptor_limit; ++fd) {
            ::close(fd);
        }
    }
}

// The child's side: async-signal-safe calls only, as the parent may have other threads.
[[noreturn]] void run_child(const ChildPlan& plan) {
    // Asked first, then checked: a parent that ended before the asking sends nothing.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != plan.parent) {
        ::_exit(127);
    }
    // Above the standard streams, so that the moves below overwrite none of them.
    const int report = ::fcntl(plan.report, F_DUPFD_CLOEXEC, 3);
    if (report < 0) {
        ::_exit(127);
    }
    std::array<int, 3> moved{-1, -1, -1};
    for (std::size_t stream = 0; stream < moved.size(); ++stream) {
        if (plan.streams[stream] >= 0) {
            moved[stream] = ::fcntl(plan.streams[stream], F_DUPFD, 3);
            if (moved[stream] < 0) {
                report_failure(report, errno);
            }
        }
    }
    for (std::size_t stream = 0; stream < moved.size(); ++stream) {
        if (moved[stream] >= 0 && ::dup2(moved[stream], static_cast<int>(stream)) < 0) {
            report_failure(report, errno);
        }
    }
    close_between(3, static_cast<unsigned>(report - 1), plan.descriptor_limit);
    close_between(report + 1, ~0u, plan.descriptor_limit);
    if (::setpgid(0, 0) != 0) {
        report_failure(report, errno);
    }
    // Every action back to the default while all signals are still blocked, then none blocked.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        ::sigaction(signal_number, &default_action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int error = ENOENT;
    bool denied = false;
    for (const std::string& path : *plan.paths) {
        ::execve(path.c_str(), plan.arguments, plan.environment);
        error = errno;
        denied = denied || error == EACCES;
        if (error != EACCES && !searches_on(error)) {
            report_failure(report, error);
        }
    }
    report_failure(report, denied ? EACCES : error);
}

// Each standard stream's end for the child, and ours where it is a pipe; or the errno of a
// failure to make them.
struct StreamEnds {
    std::array<UniqueFd, 3> child;
    std::array<UniqueFd, 3> ours;
    int error = 0;
};

StreamEnds make_streams(const std::array<ChildStream, 3>& streams) {
    StreamEnds ends;
    for (std::size_t stream = 0; stream < streams.size(); ++stream) {
        if (streams[stream] == ChildStream::null_device) {
            ends.child[stream].reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
            if (!ends.child[stream]) {
                ends.error = errno;
                return ends;
            }
        } else if (streams[stream] == ChildStream::pipe) {
            int pipe_ends[2];
            if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
                ends.error = errno;
                return ends;
            }
            // Standard input is written by us, the others are read.
            const bool input = stream == STDIN_FILENO;
            ends.child[stream].reset(pipe_ends[input ? 0 : 1]);
            ends.ours[stream].reset(pipe_ends[input ? 1 : 0]);
        }
    }
    return ends;
}

int descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > 1u << 20) {
        return 1 << 20;
    }
    return static_cast<int>(limit.rlim_cur);
}

} // namespace

StartedChild start_child(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment,
                         const std::array<ChildStream, 3>& streams) {
    StartedChild started;
    if (arguments.empty()) {
        started.error = EINVAL;
        return started;
    }
    const std::vector<std::string> paths = search_paths(arguments.front());
    const std::vector<char*> argument_array = exec_array(arguments);
    const std::vector<char*> environment_array = exec_array(environment);
    StreamEnds ends = make_streams(streams);
    int report_ends[2];
    if (ends.error != 0) {
        started.error = ends.error;
        return started;
    }
    if (::pipe2(report_ends, O_CLOEXEC) != 0) {
        started.error = errno;
        return started;
    }
    UniqueFd report_read(report_ends[0]);
    UniqueFd report_write(report_ends[1]);
    const ChildPlan plan{&paths,
                         argument_array.data(),
                         environment_array.data(),
                         {ends.child[0].get(), ends.child[1].get(), ends.child[2].get()},
                         ::getpid(),
                         report_write.get(),
                         descriptor_limit()};
    // No handler of ours may run in the child: it starts with every signal blocked.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) {
        run_child(plan);
    }
    const int fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) {
        started.error = fork_error;
        return started;
    }
    report_write.reset();
    ends.child = {};
    // Nothing arrives once the exec has closed the pipe; an errno if it failed.
    int error = 0;
    ssize_t count = 0;
    while ((count = ::read(report_read.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (count == static_cast<ssize_t>(sizeof error)) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        started.error = error;
        return started;
    }
    started.pid = pid;
    started.pipes = std::move(ends.ours);
    return started;
}

void end_child_group() {
    if (const pid_t group = child_group_to_end.load(); group > 0) {
        ::kill(-group, SIGTERM);
    }
}

} // namespace tonalyx
