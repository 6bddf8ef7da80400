// What users get: two separate vantrel processes, each with its real window
// on a display server of its own (Xvfb), each in its own program folder,
// driven like a user with xdotool (clicks at the control positions of
// app/frmMain.ui, typing into the boxes). The client sends a file to the
// host; in the same run a bare two-process ping-pong measures what the wire
// allows for the same number of blocks.
//
//   bench_two_process [--size BYTES] [--relay-delay-ms MS] [--chat-lines N]
//                     [--mode secure|legacy] [--pingpong-blocks N] [--perf DIR]
//                     [--keep] [--ui FILE] [--app-dir DIR]
//
// --size            file size, random bytes (default 10000000)
// --relay-delay-ms  put vantrel_relay between the two programs (and between
//                   the two ping-pong ends) with this one-way delay; 0 (the
//                   default) connects them directly on 127.0.0.1
// --mode            secure (the default): both programs with secure
//                   connections on, so they switch after "IP:"; legacy: both
//                   with secure connections off (secure.dat "0")
// --pingpong-blocks blocks of the bare ping-pong (default: the file's; 0
//                   skips it: one block per round trip takes hours through
//                   the relay for a large file)
// --chat-lines      chat lines timed from the client's Send to the line in
//                   the host's chat log (default 200; 0 skips)
// --perf DIR        record both programs with `perf record -g` during the
//                   transfer; the data and reports go to DIR
// --keep            keep the program folders (their paths are printed)
//
// The rate counts the bytes the receiver wrote between the first growth of
// its reception file and the final file being in place, so the sender's
// announcement pause is not counted. CPU per block is the change of each
// process's utime + stime over that time, per 1000-byte block. Needs Xvfb
// and xdotool; the programs see VANTREL_TRACE (see app/Trace.h), which is how
// status and chat lines are observed.
#include "NetUtil.h"
#include "engine/Transform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/inotify.h>
#include <sys/poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    long long size = 10000000;
    double relayDelayMs = 0;
    int chatLines = 200;
    bool secure = true;
    long pingBlocks = -1; // -1: as many as the file has blocks
    std::string perfDir;
    bool keep = false;
    std::string ui = VANTREL_SOURCE_DIR "/app/frmMain.ui";
    std::string appDir = VANTREL_APP_DIR;
    std::string benchDir; // where bench_pingpong and vantrel_relay are
};

[[noreturn]] void fail(const std::string& why) {
    throw std::runtime_error(why);
}

// ---- processes ------------------------------------------------------------

std::vector<pid_t> g_children;

struct Spawned {
    pid_t pid = -1;
    int out = -1; // read end of the child's stdout, when captured
};

// Starts argv[0] (looked up in PATH) with extra environment entries and,
// optionally, a working folder and a pipe from its stdout.
Spawned spawn(const std::vector<std::string>& argv, bool captureOut,
              const std::vector<std::string>& env = {}, const std::string& cwd = {},
              int keepFd = -1) {
    int fds[2] = {-1, -1};
    if (captureOut && pipe2(fds, O_CLOEXEC) != 0)
        fail("pipe failed");
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork failed");
    if (pid == 0) {
        if (captureOut)
            dup2(fds[1], 1);
        if (keepFd >= 0)
            fcntl(keepFd, F_SETFD, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(127);
        for (const std::string& e : env)
            putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (captureOut)
        close(fds[1]);
    g_children.push_back(pid);
    return {pid, fds[0]};
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    g_children.erase(std::remove(g_children.begin(), g_children.end(), pid), g_children.end());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string readAll(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            out.append(buf, size_t(n));
    close(fd);
    return out;
}

// Runs a command to its end; its stdout, or a failure naming the command.
std::string run(const std::vector<std::string>& argv, bool mustSucceed = true) {
    Spawned s = spawn(argv, true);
    const std::string out = readAll(s.out);
    const int rc = waitExit(s.pid);
    if (rc != 0 && mustSucceed)
        fail(argv[0] + " " + (argv.size() > 1 ? argv[1] : "") + " failed (exit " +
             std::to_string(rc) + ")");
    return out;
}

// The first line a helper prints ("port P" for the relay and ping-pong).
std::string firstLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

int portFromLine(const std::string& line) {
    int port = 0;
    if (std::sscanf(line.c_str(), "port %d", &port) != 1 || port <= 0)
        fail("a helper did not report its port: \"" + line + "\"");
    return port;
}

void stopChild(pid_t pid, int sig = SIGTERM) {
    if (pid <= 0)
        return;
    kill(pid, sig);
    for (int i = 0; i < 200; ++i) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            g_children.erase(std::remove(g_children.begin(), g_children.end(), pid),
                             g_children.end());
            return;
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitExit(pid);
}

// ---- /proc -----------------------------------------------------------------

// utime + stime of the whole process, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = all.rfind(')');
    if (close == std::string::npos)
        fail("cannot read /proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// VmHWM in kB.
long peakMemoryKb(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

std::string loadAverage() {
    std::ifstream f("/proc/loadavg");
    std::string a, b, c;
    f >> a >> b >> c;
    return a + " " + b + " " + c;
}

// ---- the program's trace ---------------------------------------------------

struct TraceEvent {
    long long ns;
    std::string event;
    std::string text;
};

// Reads the lines a program appends to its trace file.
class TraceReader {
public:
    explicit TraceReader(std::string path) : m_path(std::move(path)) {}

    // Reads what is new; true when something was.
    bool poll() {
        std::ifstream f(m_path, std::ios::binary);
        if (!f)
            return false;
        f.seekg(m_offset);
        std::string chunk((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        m_partial += chunk;
        m_offset += std::streamoff(chunk.size());
        bool any = false;
        size_t nl;
        while ((nl = m_partial.find('\n')) != std::string::npos) {
            const std::string line = m_partial.substr(0, nl);
            m_partial.erase(0, nl + 1);
            const size_t s1 = line.find(' ');
            const size_t s2 = s1 == std::string::npos ? s1 : line.find(' ', s1 + 1);
            if (s2 == std::string::npos)
                continue;
            events.push_back(
                {std::atoll(line.c_str()), line.substr(s1 + 1, s2 - s1 - 1), line.substr(s2 + 1)});
            any = true;
        }
        return any;
    }

    const TraceEvent* find(const std::string& event, const std::string& prefix,
                           size_t from = 0) const {
        for (size_t i = from; i < events.size(); ++i)
            if (events[i].event == event && events[i].text.rfind(prefix, 0) == 0)
                return &events[i];
        return nullptr;
    }

    std::vector<TraceEvent> events;

private:
    std::string m_path;
    std::streamoff m_offset = 0;
    std::string m_partial;
};

// Polls the traces until `done` holds; fails with `what` after `seconds`.
void waitUntil(std::vector<TraceReader*> traces, const std::function<bool()>& done, double seconds,
               const std::string& what) {
    const double end = monotonicSeconds() + seconds;
    for (;;) {
        for (TraceReader* t : traces)
            t->poll();
        if (done())
            return;
        if (monotonicSeconds() > end)
            fail("timed out waiting for " + what);
        usleep(2000);
    }
}

// ---- the window's layout ---------------------------------------------------

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
};

// Every widget's rectangle in the central area, from the designer file:
// a widget's geometry is relative to its parent, so the parents' positions
// are added up (the main window itself and its central widget excepted).
std::map<std::string, Rect> readLayout(const std::string& uiPath) {
    std::ifstream f(uiPath);
    if (!f)
        fail("cannot read " + uiPath);
    const std::string ui((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    struct Open {
        std::string name;
        Rect abs;
        bool hasGeometry = false;
    };
    std::vector<Open> stack;
    std::map<std::string, Rect> out;
    auto tagValue = [&](size_t from, const char* tag) {
        const std::string open = std::string("<") + tag + ">";
        const size_t p = ui.find(open, from);
        return p == std::string::npos ? 0 : std::atoi(ui.c_str() + p + open.size());
    };
    size_t pos = 0;
    for (;;) {
        const size_t w = ui.find("<widget ", pos);
        const size_t e = ui.find("</widget>", pos);
        const size_t r = ui.find("<rect>", pos);
        const size_t next = std::min({w, e, r});
        if (next == std::string::npos)
            break;
        if (next == w) {
            const size_t n = ui.find("name=\"", w) + 6;
            Open o;
            o.name = ui.substr(n, ui.find('"', n) - n);
            // The parent's position, known once the parent's own rectangle
            // has been read.
            if (!stack.empty() && stack.back().hasGeometry && stack.size() > 2)
                o.abs = {stack.back().abs.x, stack.back().abs.y, 0, 0};
            stack.push_back(o);
            pos = w + 8;
        } else if (next == e) {
            if (!stack.empty())
                stack.pop_back();
            pos = e + 9;
        } else {
            if (!stack.empty() && !stack.back().hasGeometry) {
                Open& o = stack.back();
                o.abs.x += tagValue(r, "x");
                o.abs.y += tagValue(r, "y");
                o.abs.w = tagValue(r, "width");
                o.abs.h = tagValue(r, "height");
                o.hasGeometry = true;
                out[o.name] = o.abs;
            }
            pos = r + 6;
        }
    }
    return out;
}

// ---- driving a window ------------------------------------------------------

// The central area's fixed size (the window's client area, 9030 x 7365
// twips); what is above it in the window is the menu bar.
constexpr int CentralHeight = 491;

struct Window {
    std::string name; // for messages
    pid_t pid = -1;
    std::string id;
    int menuBar = 0;
    const std::map<std::string, Rect>* layout = nullptr;

    std::pair<int, int> centre(const std::string& control) const {
        const auto it = layout->find(control);
        if (it == layout->end())
            fail("no control " + control + " in the layout");
        return {it->second.x + it->second.w / 2, menuBar + it->second.y + it->second.h / 2};
    }

    void focus() const { run({"xdotool", "windowfocus", "--sync", id}); }

    void click(const std::string& control) const {
        focus();
        const auto [x, y] = centre(control);
        run({"xdotool", "mousemove", "--window", id, std::to_string(x), std::to_string(y), "click",
             "1"});
    }

    // Clicks into a text box, selects what it holds and types over it.
    void typeInto(const std::string& control, const std::string& text) const {
        click(control);
        run({"xdotool", "key", "--clearmodifiers", "ctrl+a"});
        run({"xdotool", "type", "--delay", "1", "--", text});
    }
};

Window findWindow(const std::string& name, pid_t pid, const std::map<std::string, Rect>& layout,
                  int x, int y) {
    Window w;
    w.name = name;
    w.pid = pid;
    w.layout = &layout;
    const double end = monotonicSeconds() + 30;
    while (w.id.empty()) {
        const std::string out = run({"xdotool", "search", "--all", "--onlyvisible", "--pid",
                                     std::to_string(pid), "--name", "Orvane Encryption Vantrel v3"},
                                    false);
        std::istringstream ids(out);
        ids >> w.id;
        if (w.id.empty()) {
            if (monotonicSeconds() > end)
                fail("the " + name + "'s window did not appear");
            usleep(50000);
        }
    }
    run({"xdotool", "windowmove", "--sync", w.id, std::to_string(x), std::to_string(y)}, false);
    // Input is taken once the window has been laid out and painted.
    usleep(500000);
    const std::string geo = run({"xdotool", "getwindowgeometry", "--shell", w.id});
    const size_t h = geo.find("HEIGHT=");
    if (h == std::string::npos)
        fail("no geometry for the " + name + "'s window");
    w.menuBar = std::atoi(geo.c_str() + h + 7) - CentralHeight;
    if (w.menuBar < 0 || w.menuBar > 80)
        fail("unexpected window height for the " + name);
    return w;
}

// ---- program folders -------------------------------------------------------

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
    if (!f)
        fail("cannot write " + path);
}

void copyFile(const std::string& from, const std::string& to, mode_t mode) {
    std::ifstream in(from, std::ios::binary);
    if (!in)
        fail("cannot read " + from);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    out.close();
    chmod(to.c_str(), mode);
}

// A portable program folder: the program, its help page, the port, the
// marker that keeps the start-up notice away and the router left alone.
std::string makeProgramFolder(const std::string& base, const std::string& name,
                              const std::string& appDir, int port, bool secure) {
    const std::string dir = base + "/" + name;
    mkdir(dir.c_str(), 0700);
    copyFile(appDir + "/vantrel", dir + "/vantrel", 0755);
    copyFile(appDir + "/overview.htm", dir + "/overview.htm", 0644);
    writeFile(dir + "/opt.dne", "Done\r\n");
    writeFile(dir + "/port.dat", std::to_string(port) + "\r\n");
    writeFile(dir + "/secure.dat", secure ? "1\r\n0\r\n" : "0\r\n0\r\n");
    // The benchmark waits for connections: never with a router asked.
    writeFile(dir + "/router.dat", "0\r\n");
    return dir;
}

void makeRandomFile(const std::string& path, long long size) {
    std::ifstream rnd("/dev/urandom", std::ios::binary);
    std::ofstream out(path, std::ios::binary);
    std::vector<char> buf(1 << 20);
    for (long long left = size; left > 0;) {
        const long long n = std::min<long long>(left, (long long)buf.size());
        rnd.read(buf.data(), n);
        out.write(buf.data(), n);
        left -= n;
    }
    if (!out)
        fail("cannot write " + path);
}

// ---- the measurement -------------------------------------------------------

struct TransferResult {
    double seconds = 0;
    long long bytes = 0; // counted bytes: final size minus the first size seen
    double cpuReceiver = 0, cpuSender = 0;
};

// The file `pid` has open under `folder` (a reception's working file, which
// may have no name yet): "/proc/PID/fd/N", or empty.
std::string openFileUnder(pid_t pid, const std::string& folder) {
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(fdDir.c_str()), closedir);
    if (!dir)
        return {};
    while (const dirent* e = readdir(dir.get())) {
        char target[PATH_MAX];
        const std::string link = fdDir + "/" + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, size_t(n)).rfind(folder + "/", 0) == 0)
            return link;
    }
    return {};
}

// Clicks Send (`startSending`), then waits for the receiver's working file
// to grow for the first time and for the final file `name` to appear in
// `recvDir` with `size` bytes. `onStart` and `onEnd` run at those moments.
TransferResult timeTransfer(const std::string& recvDir, const std::string& name, long long size,
                            pid_t receiver, pid_t sender, const std::function<void()>& onStart,
                            const std::function<void()>& onEnd,
                            const std::function<void()>& startSending) {
    const int in = inotify_init1(IN_CLOEXEC);
    const int dirWatch =
        in < 0 ? -1 : inotify_add_watch(in, recvDir.c_str(), IN_CREATE | IN_MOVED_TO);
    if (dirWatch < 0)
        fail("inotify failed on " + recvDir);
    startSending();
    TransferResult r;
    double t0 = -1;
    long long s0 = 0;
    double cpuR0 = 0, cpuS0 = 0;
    int fileWatch = -1;
    std::string workFile;
    auto started = [&](long long bytes) {
        t0 = monotonicSeconds();
        s0 = bytes;
        cpuR0 = cpuSeconds(receiver);
        cpuS0 = cpuSeconds(sender);
        onStart();
    };
    const double deadline = monotonicSeconds() + 120 + double(size) / 5000.0;
    alignas(inotify_event) char buf[8192];
    for (bool done = false; !done;) {
        // The working file is opened when the announcement arrives; the
        // blocks follow after the sender's pause.
        if (fileWatch < 0 && t0 < 0) {
            workFile = openFileUnder(receiver, recvDir);
            struct stat st {};
            if (!workFile.empty() && stat(workFile.c_str(), &st) == 0) {
                if (st.st_size > 0)
                    started(st.st_size);
                else
                    fileWatch = inotify_add_watch(in, workFile.c_str(), IN_MODIFY);
            }
        }
        pollfd p{in, POLLIN, 0};
        const int n = ::poll(&p, 1, fileWatch < 0 && t0 < 0 ? 2 : 500);
        if (monotonicSeconds() > deadline)
            fail("the transfer did not finish in time");
        if (n <= 0)
            continue;
        const ssize_t len = read(in, buf, sizeof buf);
        for (ssize_t off = 0; off < len;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += ssize_t(sizeof(inotify_event) + ev->len);
            struct stat st {};
            if (ev->wd == fileWatch && t0 < 0 && stat(workFile.c_str(), &st) == 0 &&
                st.st_size > 0) {
                started(st.st_size);
                inotify_rm_watch(in, fileWatch);
            }
            const std::string file = ev->len ? ev->name : "";
            if (ev->wd == dirWatch && file == name &&
                stat((recvDir + "/" + file).c_str(), &st) == 0) {
                const double t1 = monotonicSeconds();
                r.cpuReceiver = cpuSeconds(receiver) - cpuR0;
                r.cpuSender = cpuSeconds(sender) - cpuS0;
                onEnd();
                if (st.st_size != size)
                    fail("the received file has " + std::to_string(st.st_size) + " bytes, not " +
                         std::to_string(size));
                if (t0 < 0)
                    fail("the reception was over before it was seen growing");
                r.seconds = t1 - t0;
                r.bytes = size - s0;
                done = true;
            }
        }
    }
    close(in);
    return r;
}

std::string fmt(const char* format, double a) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a);
    return buf;
}

int measure(const Options& o) {
    std::printf("load average before: %s\n", loadAverage().c_str());
    std::printf("mode: %s\n", o.secure ? "secure" : "legacy");
    // The programs started below inherit this environment, VANTREL_TRANSFORM included.
    std::printf("transform path: %s (processor: %s)\n",
                RotorMachine::Name(RotorMachine::DefaultPath()),
                RotorMachine::ProcessorFeatures().c_str());
    const std::map<std::string, Rect> layout = readLayout(o.ui);

    char tmpl[] = "/tmp/vantrel-two-process-XXXXXX";
    if (!mkdtemp(tmpl))
        fail("cannot make a temporary folder");
    const std::string base = tmpl;
    struct Cleanup {
        std::string base;
        bool keep;
        ~Cleanup() {
            // On a failure, what the screen showed (when ImageMagick is
            // there), and the folders are kept.
            const bool failed = std::uncaught_exceptions() > 0;
            if (failed && getenv("DISPLAY"))
                run({"import", "-window", "root", base + "/failure.png"}, false);
            // The programs first, the display server last.
            for (auto it = g_children.rbegin(); it != g_children.rend(); it = g_children.rbegin())
                stopChild(*it);
            if (failed)
                std::fprintf(stderr, "folders kept in %s\n", base.c_str());
            else if (!keep)
                run({"rm", "-rf", base}, false);
        }
    } cleanup{base, o.keep};

    // A display server of our own.
    int dfd[2];
    if (pipe2(dfd, O_CLOEXEC) != 0)
        fail("pipe failed");
    spawn({"Xvfb", "-displayfd", std::to_string(dfd[1]), "-screen", "0", "1400x900x24", "-nolisten",
           "tcp"},
          false, {}, {}, dfd[1]);
    close(dfd[1]);
    const std::string display = ":" + firstLine(dfd[0]);
    close(dfd[0]);
    if (display == ":")
        fail("Xvfb did not start");
    setenv("DISPLAY", display.c_str(), 1);

    // Host (receiver) and client (sender), with the relay between them when
    // asked for.
    const int hostPort = freePort();
    int clientPort = hostPort;
    if (o.relayDelayMs > 0) {
        Spawned relay =
            spawn({o.benchDir + "/vantrel_relay", "--to", "127.0.0.1:" + std::to_string(hostPort),
                   "--delay-ms", fmt("%g", o.relayDelayMs), "--once"},
                  true);
        clientPort = portFromLine(firstLine(relay.out));
    }
    const std::string hostDir = makeProgramFolder(base, "host", o.appDir, hostPort, o.secure);
    const std::string clientDir = makeProgramFolder(base, "client", o.appDir, clientPort, o.secure);
    const std::string env = "QT_QPA_PLATFORM=xcb";
    const pid_t hostPid = spawn({hostDir + "/vantrel", "--no-discovery"}, false,
                                {env, "VANTREL_TRACE=" + hostDir + "/trace.txt"}, hostDir)
                              .pid;
    const pid_t clientPid = spawn({clientDir + "/vantrel", "--no-discovery"}, false,
                                  {env, "VANTREL_TRACE=" + clientDir + "/trace.txt"}, clientDir)
                                .pid;
    TraceReader hostTrace(hostDir + "/trace.txt");
    TraceReader clientTrace(clientDir + "/trace.txt");
    const Window host = findWindow("host", hostPid, layout, 0, 0);
    const Window client = findWindow("client", clientPid, layout, 700, 0);

    // Wait / Connect. The host announces itself as 127.0.0.1, which is what
    // the client types, so both sides make their keys from the same texts.
    const std::string loop = "127.0.0.1";
    host.typeInto("txtIP", loop);
    host.click("Command1");
    waitUntil(
        {&hostTrace}, [&] { return hostTrace.find("status", "Waiting for Connection"); }, 10,
        "the host to wait");
    client.typeInto("txtConnect", loop);
    const double connectClick = monotonicSeconds();
    client.click("Command2");
    waitUntil(
        {&hostTrace, &clientTrace},
        [&] {
            return hostTrace.find("status", "Key check: ") &&
                   clientTrace.find("status", "Key check: ");
        },
        20, "both sides to be connected");
    if (hostTrace.find("status", "Key check: ")->text !=
        clientTrace.find("status", "Key check: ")->text)
        fail("the two sides made different keys");
    std::printf("connected: %s on both sides (%.0f ms from the Connect click to both key "
                "checks)\n",
                hostTrace.find("status", "Key check: ")->text.c_str(),
                (monotonicSeconds() - connectClick) * 1000);
    if (o.secure) {
        // The handshake: from the later key check to the later secure line.
        const std::string line = "Secure connection. Compare this code";
        waitUntil(
            {&hostTrace, &clientTrace},
            [&] { return hostTrace.find("status", line) && clientTrace.find("status", line); }, 20,
            "both sides to switch to the secure connection");
        const auto keys = std::max(hostTrace.find("status", "Key check: ")->ns,
                                   clientTrace.find("status", "Key check: ")->ns);
        const auto secureAt =
            std::max(hostTrace.find("status", line)->ns, clientTrace.find("status", line)->ns);
        const std::string& text = hostTrace.find("status", line)->text;
        std::printf("secure connection: code %s on both sides, %.2f ms after the later key "
                    "check\n",
                    text.substr(text.size() - std::min<size_t>(text.size(), 9)).c_str(),
                    double(secureAt - keys) / 1e6);
        // Each side from its own key check ("Connected.") to its own secure
        // line: the host waits for R (one round trip), the client, which
        // made its keys before sending "IP:", for H and then S (two).
        const auto side = [&](const TraceReader& t) {
            return double(t.find("status", line)->ns - t.find("status", "Key check: ")->ns) / 1e6;
        };
        std::printf("handshake per side, key check to secure line: host %.2f ms, client %.2f ms\n",
                    side(hostTrace), side(clientTrace));
    }

    // Chat: the client's Send (Enter) to the line in the host's chat log.
    if (o.chatLines > 0) {
        client.click("txtChat");
        std::vector<double> ms;
        for (int i = 0; i < o.chatLines; ++i) {
            const std::string line = "chat line " + std::to_string(i) + " quick brown fox";
            const size_t sentFrom = clientTrace.events.size();
            const size_t shownFrom = hostTrace.events.size();
            run({"xdotool", "type", "--delay", "1", "--", line});
            run({"xdotool", "key", "Return"});
            waitUntil(
                {&hostTrace, &clientTrace},
                [&] {
                    return hostTrace.find("chat", line, shownFrom) &&
                           clientTrace.find("send", line, sentFrom);
                },
                10, "chat line " + std::to_string(i));
            ms.push_back(double(hostTrace.find("chat", line, shownFrom)->ns -
                                clientTrace.find("send", line, sentFrom)->ns) /
                         1e6);
        }
        double sum = 0, worst = 0;
        for (double m : ms) {
            sum += m;
            worst = std::max(worst, m);
        }
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        std::printf("chat latency, %d lines client -> host, Send to the line in the other "
                    "log: mean %.3f ms, median %.3f ms, worst %.3f ms\n",
                    o.chatLines, sum / double(ms.size()), sorted[sorted.size() / 2], worst);
    }

    // The file.
    const std::string source = base + "/payload.bin";
    makeRandomFile(source, o.size);
    client.typeInto("Text2", source);
    std::vector<pid_t> perf;
    auto startPerf = [&] {
        if (o.perfDir.empty())
            return;
        mkdir(o.perfDir.c_str(), 0755);
        perf.push_back(spawn({"perf", "record", "-e", "cpu-clock", "-g", "-q", "-o",
                              o.perfDir + "/receiver.data", "-p", std::to_string(hostPid)},
                             false)
                           .pid);
        perf.push_back(spawn({"perf", "record", "-e", "cpu-clock", "-g", "-q", "-o",
                              o.perfDir + "/sender.data", "-p", std::to_string(clientPid)},
                             false)
                           .pid);
    };
    auto stopPerf = [&] {
        for (pid_t p : perf) {
            kill(p, SIGINT);
            waitExit(p);
        }
    };
    const TransferResult t =
        timeTransfer(hostDir + "/Recv", "payload.bin", o.size, hostPid, clientPid, startPerf,
                     stopPerf, [&] { client.click("Command4"); });
    waitUntil(
        {&hostTrace, &clientTrace},
        [&] {
            return hostTrace.find("status", "File Received.") &&
                   clientTrace.find("status", "File Transferred.");
        },
        30, "the status lines of the transfer");
    const bool same =
        waitExit(spawn({"cmp", "--silent", source, hostDir + "/Recv/payload.bin"}, false).pid) == 0;
    const long receiverPeak = peakMemoryKb(hostPid);
    const long senderPeak = peakMemoryKb(clientPid);
    const double blocks = double(t.bytes) / 1000.0;
    const double rate = t.seconds > 0 ? double(t.bytes) / 1e6 / t.seconds : 0;

    // The wire's limit for the same number of blocks, over the same path.
    const long pingBlocks =
        o.pingBlocks >= 0 ? o.pingBlocks : long(std::ceil(double(o.size) / 1000.0));
    double pingRate = 0;
    if (pingBlocks > 0) {
        Spawned server = spawn({o.benchDir + "/bench_pingpong", "serve"}, true);
        int pingPort = portFromLine(firstLine(server.out));
        if (o.relayDelayMs > 0) {
            Spawned relay = spawn({o.benchDir + "/vantrel_relay", "--to",
                                   "127.0.0.1:" + std::to_string(pingPort), "--delay-ms",
                                   fmt("%g", o.relayDelayMs), "--once"},
                                  true);
            pingPort = portFromLine(firstLine(relay.out));
        }
        const std::string ping =
            run({o.benchDir + "/bench_pingpong", "client", "--port", std::to_string(pingPort),
                 "--blocks", std::to_string(pingBlocks)});
        const size_t at = ping.find(" s ");
        if (at != std::string::npos)
            pingRate = std::atof(ping.c_str() + at + 3);
    }

    std::printf("file: %lld random bytes, client -> host%s; received file %s\n", o.size,
                o.relayDelayMs > 0
                    ? (" through the relay (" + fmt("%g", o.relayDelayMs) + " ms each way)").c_str()
                    : " on 127.0.0.1",
                same ? "byte-identical (cmp)" : "DIFFERS");
    std::printf("transfer rate: %.4g MB/s (%lld bytes in %.3f s, from the first growth of the "
                "reception file to the final file)\n",
                rate, t.bytes, t.seconds);
    if (pingBlocks > 0) {
        std::printf("ping-pong, same run, %ld blocks: %.4g MB/s\n", pingBlocks, pingRate);
        std::printf("ratio transfer / ping-pong: %.3f\n", pingRate > 0 ? rate / pingRate : 0.0);
    }
    std::printf("CPU per block: receiver %.1f us, sender %.1f us (%.0f blocks; %.2f s / %.2f s "
                "CPU)\n",
                t.cpuReceiver / blocks * 1e6, t.cpuSender / blocks * 1e6, blocks, t.cpuReceiver,
                t.cpuSender);
    std::printf("peak memory (VmHWM): receiver %.1f MB, sender %.1f MB\n", receiverPeak / 1024.0,
                senderPeak / 1024.0);
    if (!o.perfDir.empty())
        std::printf("perf data: %s/receiver.data, %s/sender.data\n", o.perfDir.c_str(),
                    o.perfDir.c_str());
    if (o.keep)
        std::printf("program folders kept in %s\n", base.c_str());
    std::printf("load average after: %s\n", loadAverage().c_str());
    return same ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    {
        std::string self = argv[0];
        char buf[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0)
            self.assign(buf, size_t(n));
        o.benchDir = self.substr(0, self.rfind('/'));
    }
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--size" && hasValue)
            o.size = std::atoll(argv[++i]);
        else if (a == "--relay-delay-ms" && hasValue)
            o.relayDelayMs = std::atof(argv[++i]);
        else if (a == "--chat-lines" && hasValue)
            o.chatLines = std::atoi(argv[++i]);
        else if (a == "--pingpong-blocks" && hasValue)
            o.pingBlocks = std::atol(argv[++i]);
        else if (a == "--mode" && hasValue)
            o.secure = std::string(argv[++i]) != "legacy";
        else if (a == "--perf" && hasValue)
            o.perfDir = argv[++i];
        else if (a == "--ui" && hasValue)
            o.ui = argv[++i];
        else if (a == "--app-dir" && hasValue)
            o.appDir = argv[++i];
        else if (a == "--keep")
            o.keep = true;
        else {
            std::fprintf(stderr, "usage: bench_two_process [--size BYTES] [--relay-delay-ms MS] "
                                 "[--chat-lines N] [--mode secure|legacy] [--pingpong-blocks N] "
                                 "[--perf DIR] [--keep] [--ui FILE] "
                                 "[--app-dir DIR]\n");
            return 2;
        }
    }
    if (o.size < 0) {
        std::fprintf(stderr, "bench_two_process: the size must not be negative\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        return measure(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_two_process: %s\n", e.what());
        return 1;
    }
}
