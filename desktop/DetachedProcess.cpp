#include "desktop/DetachedProcess.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

QString Resolved(const QString& program, const QProcessEnvironment& environment) {
    if (program.contains(QLatin1Char('/')))
        return QFileInfo(program).absoluteFilePath();
    const QStringList path = environment.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    return QStandardPaths::findExecutable(program, path);
}

// Everything the child needs, made before fork: after it only async-signal-safe calls may run.
struct Exec {
    std::vector<QByteArray> storage;
    std::vector<char*> argv, envp;
    QByteArray directory;

    static void Point(std::vector<QByteArray>& from, std::size_t first, std::vector<char*>& to) {
        for (std::size_t i = first; i < from.size(); ++i)
            to.push_back(from[i].data());
        to.push_back(nullptr);
    }
};

// Writes errno to the pipe and ends: the grandchild could not become the program.
[[noreturn]] void Fail(int pipe) {
    const int error = errno;
    (void)!::write(pipe, &error, sizeof error);
    ::_exit(127);
}

} // namespace

DetachedProcess::Started DetachedProcess::Start() const {
    const QString path = Resolved(program, environment);
    if (path.isEmpty())
        return {0, QStringLiteral("%1: not found").arg(program)};

    std::vector<QByteArray> args{QFile::encodeName(path)};
    for (const QString& argument : arguments)
        args.push_back(argument.toLocal8Bit());
    std::vector<QByteArray> env;
    for (const QString& entry : environment.toStringList())
        env.push_back(entry.toLocal8Bit());
    Exec exec;
    exec.storage = std::move(args);
    Exec::Point(exec.storage, 0, exec.argv);
    Exec::Point(env, 0, exec.envp);
    if (!workingDirectory.isEmpty())
        exec.directory = QFile::encodeName(workingDirectory);

    // The grandchild reports a failed exec through this pipe; a successful exec closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return {0, QString::fromLocal8Bit(std::strerror(errno))};
    // The grandchild's pid comes back through a second pipe, as the child that forked it ends at once.
    int pidPipe[2];
    if (::pipe2(pidPipe, O_CLOEXEC) != 0) {
        ::close(report[0]);
        ::close(report[1]);
        return {0, QString::fromLocal8Bit(std::strerror(errno))};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0) {
            (void)!::write(pidPipe[1], &grandchild, sizeof grandchild);
            ::_exit(grandchild > 0 ? 0 : 1);
        }
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0)
            Fail(report[1]);
        // Every other descriptor closes at exec, the report pipe with them.
        if (::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = 3; fd < 65536; ++fd)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        if (!exec.directory.isEmpty() && ::chdir(exec.directory.constData()) != 0)
            Fail(report[1]);
        ::execve(exec.argv[0], exec.argv.data(), exec.envp.data());
        Fail(report[1]);
    }
    ::close(report[1]);
    ::close(pidPipe[1]);
    Started started;
    if (child < 0) {
        started.error = QString::fromLocal8Bit(std::strerror(errno));
    } else {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        pid_t grandchild = 0;
        if (::read(pidPipe[0], &grandchild, sizeof grandchild) == sizeof grandchild && grandchild > 0) {
            int error = 0;
            ssize_t n;
            while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
            }
            if (n == sizeof error)
                started.error = QString::fromLocal8Bit(std::strerror(error));
            else
                started.pid = grandchild;
        } else {
            started.error = QStringLiteral("fork failed");
        }
    }
    ::close(report[0]);
    ::close(pidPipe[0]);
    return started;
}
