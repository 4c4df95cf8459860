// Checks that must run in a process of their own: with its standard streams
// closed, in a mount namespace of its own, or as another user. The child
// reports what went wrong as text through a pipe; nothing from GoogleTest
// runs in it.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

namespace qor::test {

struct OtherUser {
    uid_t uid;
    gid_t gid;
};

// A second, unprivileged user, made with useradd the first time. None where
// this process is not root and so cannot act as another user.
inline std::optional<OtherUser> FindOrMakeOtherUser() {
    if (geteuid() != 0) {
        return std::nullopt;
    }
    // Fails, harmlessly, where the user exists already.
    (void)!std::system(
        "useradd --system --no-create-home --shell /usr/sbin/nologin qor-test-user 2>/dev/null");
    const passwd* entry = getpwnam("qor-test-user");
    return entry == nullptr ? std::nullopt : std::optional(OtherUser{entry->pw_uid, entry->pw_gid});
}

// Lets the parent run its part (meanwhile, given to InChild) and returns when
// it has.
using Pause = std::function<void()>;

// Runs check in a forked child, as user if given, and returns what it
// reported: empty when all went well. Only the parent's own thread runs
// meanwhile: forking a process with threads is best avoided.
inline std::string InChild(const std::function<std::string(const Pause&)>& check,
                           std::optional<OtherUser> user = std::nullopt,
                           const std::function<void()>& meanwhile = nullptr) {
    constexpr char kPause = '\x01';  // never part of a report
    int report[2];
    int resume[2];
    if (pipe(report) != 0 || pipe(resume) != 0) {
        return "cannot make a pipe";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        close(resume[1]);
        const Pause pause = [&] {
            char byte = kPause;
            (void)!write(report[1], &byte, 1);
            (void)!read(resume[0], &byte, 1);
        };
        std::string problem;
        if (user &&
            (setgroups(0, nullptr) != 0 || setresgid(user->gid, user->gid, user->gid) != 0 ||
             setresuid(user->uid, user->uid, user->uid) != 0)) {
            problem = "cannot become uid " + std::to_string(user->uid);
        } else {
            problem = check(pause);
        }
        (void)!write(report[1], problem.data(), problem.size());
        _exit(0);
    }
    close(report[1]);
    close(resume[0]);
    std::string problem;
    char buffer[256];
    for (ssize_t got; (got = read(report[0], buffer, sizeof buffer)) > 0;) {
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] != kPause) {
                problem += buffer[i];
            } else {
                if (meanwhile) {
                    meanwhile();
                }
                (void)!write(resume[1], &kPause, 1);
            }
        }
    }
    close(report[0]);
    close(resume[1]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) {
        problem += "the child died of signal " + std::to_string(WTERMSIG(status));
    }
    return problem;
}

}  // namespace qor::test
