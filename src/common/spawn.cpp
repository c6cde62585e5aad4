#include "common/spawn.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tonalyx {
namespace {

// The null-terminated array of pointers into `texts` that exec takes.
std::vector<char*> exec_array(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (const std::string& text : texts) {
        // exec takes char* for historical reasons only: it writes nothing there.
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// What the child does between fork and exec, all prepared before the fork.
struct ChildPlan {
    char* const* arguments;
    char* const* environment;
    std::array<int, 3> streams; // the descriptor for each standard stream, or -1 to keep ours
    pid_t parent;
    int report;           // close-on-exec: a failure's errno reaches the parent on it
    int descriptor_limit; // one more than the highest descriptor that can be open
};

[[noreturn]] void report_failure(int report, int error) {
    [[maybe_unused]] const ssize_t n = ::write(report, &error, sizeof error);
    ::_exit(127);
}

// The child's side: async-signal-safe calls only, as the parent may have other threads.
[[noreturn]] void run_child(const ChildPlan& plan) {
    // Asked first, then checked: a parent that ended before the asking sends nothing.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != plan.parent) {
        ::_exit(127);
    }
    // Every descriptor made for the child is above the standard streams, which are open: none
    // of the moves overwrites another.
    for (int stream = 0; stream < 3; ++stream) {
        const int fd = plan.streams[static_cast<std::size_t>(stream)];
        if (fd >= 0 && ::dup2(fd, stream) < 0) {
            report_failure(plan.report, errno);
        }
    }
    // Everything from 3 up closes with the exec, the report pipe among them.
    if (::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < plan.descriptor_limit; ++fd) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    if (::setpgid(0, 0) != 0) {
        report_failure(plan.report, errno);
    }
    // Every action back to the default while all signals are still blocked, then none blocked.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        ::sigaction(signal_number, &default_action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // glibc's PATH search allocates nothing: it is safe here.
    ::execvpe(plan.arguments[0], plan.arguments, plan.environment);
    report_failure(plan.report, errno);
}

// Each standard stream's end for the child and ours where it is a pipe, or the errno of a
// failure to make them.
struct StreamEnds {
    std::array<UniqueFd, 3> child;
    std::array<UniqueFd, 3> ours;
    int error = 0;
};

StreamEnds make_streams(const std::array<ChildStream, 3>& streams) {
    StreamEnds ends;
    for (std::size_t stream = 0; stream < streams.size(); ++stream) {
        int pipe_ends[2] = {-1, -1};
        bool made = true;
        if (streams[stream] == ChildStream::null_device) {
            pipe_ends[0] = ::open("/dev/null", O_RDWR | O_CLOEXEC);
            made = pipe_ends[0] >= 0;
        } else if (streams[stream] == ChildStream::pipe) {
            made = ::pipe2(pipe_ends, O_CLOEXEC) == 0;
        }
        if (!made) {
            ends.error = errno;
            return ends;
        }
        // Standard input is written by us, the others are read; /dev/null is the child's alone.
        const bool child_reads = stream == STDIN_FILENO || pipe_ends[1] < 0;
        ends.child[stream].reset(pipe_ends[child_reads ? 0 : 1]);
        ends.ours[stream].reset(pipe_ends[child_reads ? 1 : 0]);
    }
    return ends;
}

// Waits for the exec: nothing arrives once it has closed the pipe, an errno if it failed.
int exec_error(const UniqueFd& report) {
    int error = 0;
    ssize_t count = 0;
    while ((count = ::read(report.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    return count == static_cast<ssize_t>(sizeof error) ? error : 0;
}

} // namespace

StartedChild start_child(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment,
                         const std::array<ChildStream, 3>& streams) {
    StartedChild started;
    const std::vector<char*> argument_array = exec_array(arguments);
    const std::vector<char*> environment_array = exec_array(environment);
    StreamEnds ends = make_streams(streams);
    int report_ends[2];
    if (ends.error != 0 || ::pipe2(report_ends, O_CLOEXEC) != 0) {
        started.error = ends.error != 0 ? ends.error : errno;
        return started;
    }
    const UniqueFd report_read(report_ends[0]);
    UniqueFd report_write(report_ends[1]);
    const ChildPlan plan{argument_array.data(),
                         environment_array.data(),
                         {ends.child[0].get(), ends.child[1].get(), ends.child[2].get()},
                         ::getpid(),
                         report_write.get(),
                         static_cast<int>(std::min(::sysconf(_SC_OPEN_MAX), 1L << 20))};
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
    report_write.reset();
    ends.child = {};
    started.error = pid < 0 ? fork_error : exec_error(report_read);
    if (started.error != 0) {
        while (pid > 0 && ::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return started;
    }
    started.pid = pid;
    started.pipes = std::move(ends.ours);
    return started;
}

std::vector<std::string> own_environment() {
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        environment.emplace_back(*variable);
    }
    return environment;
}

void end_child_group() {
    if (const pid_t group = child_group_to_end.load(); group > 0) {
        ::kill(-group, SIGTERM);
    }
}

} // namespace tonalyx
