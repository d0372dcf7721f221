// qelvo-serve over HTTP against the virtual scope: who may use it, every
// answer of its interface and every refusal, every way a job ends, and the
// limits that keep one client from starving the others or the capture.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "http_client.h"

namespace {

using std::chrono::steady_clock;

const std::string JSON_BODY = "Content-Type: application/json\r\n";
const std::string NEED_TOKEN =
    R"({"error":"a token is needed: open the address qelvo-serve printed at start"})";
const std::string NOT_FOUND = R"({"error":"not found"})";
// About 2 s a channel at the default 38400 bit/s.
const std::vector<std::string> LONG_RECORD{"--samples", "4000"};

double secondsSince(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// A running qelvo-serve on the scope at dir/tty, serving dir/caps.
class Server {
public:
  explicit Server(const TempDir &dir, const std::vector<std::string> &args = {}) {
    std::vector<std::string> argv{QELVO_SERVE_BIN, "--listen=127.0.0.1:0", "-s", dir.file("tty"),
                                  "--dir=" + dir.file("caps")};
    argv.insert(argv.end(), args.begin(), args.end());
    child_ = std::make_unique<Child>(argv, ProcessOptions{{"QELVO"}, dir.path()});
    waitFor([&] { return child_->currentOut().find('\n') != std::string::npos; }, 5000);
    std::smatch found;
    std::string out = child_->currentOut();
    const std::regex START(
        "qelvo-serve: serving http://127\\.0\\.0\\.1:([0-9]+)/\\?token=([0-9a-f]{32})\n");
    EXPECT_TRUE(std::regex_match(out, found, START)) << out << child_->currentErr();
    if (!found.empty()) {
      port = std::stoi(found[1]);
      token = found[2];
    }
  }
  std::string bearer() const { return "Authorization: Bearer " + token + "\r\n"; }
  HttpAnswer call(const std::string &method, const std::string &path,
                  const std::string &headers = "", const std::string *body = nullptr) const {
    return httpExchange(port, request(method, path, headers, body));
  }
  HttpAnswer get(const std::string &path) const { return call("GET", path, bearer()); }
  HttpAnswer post(const std::string &path, const std::string &body) const {
    return call("POST", path, bearer() + JSON_BODY, &body);
  }
  // A viewer of /api/events, its answer's head read.
  int viewer(std::string &seen) const {
    int fd = connectLocal(port);
    std::string text = request("GET", "/api/events", bearer());
    EXPECT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    EXPECT_TRUE(readUntil(fd, "event: state", seen, 5000)) << seen;
    return fd;
  }
  Child &child() { return *child_; }
  int port = 0;
  std::string token;

private:
  std::unique_ptr<Child> child_;
};

std::string resultOf(int job, int status, const std::string &message, const std::string &files) {
  return "{\"job\":" + std::to_string(job) + ",\"status\":" + std::to_string(status) +
         ",\"message\":\"" + message + "\",\"files\":[" + files + "]}";
}

int samplesIn(const std::string &path) {
  return static_cast<int>(sampleLines(readFile(path)).size());
}

} // namespace

TEST(Serve, RefusesABadStartWithStatus3) {
  TempDir dir;
  writeFile(dir.file("loose"), "0123456789abcdef0123456789abcdef\n");
  chmod(dir.file("loose").c_str(), 0640);
  writeFile(dir.file("short"), "0123456789abcdef\n");
  writeFile(dir.file("upper"), "0123456789ABCDEF0123456789ABCDEF\n");
  writeFile(dir.file("two"), "0123456789abcdef0123456789abcdef\nmore\n");
  for (const char *name : {"short", "upper", "two"}) {
    chmod(dir.file(name).c_str(), 0600);
  }
  int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&address), size), 0);
  listen(taken, 1);
  getsockname(taken, reinterpret_cast<sockaddr *>(&address), &size);
  std::string takenPort = std::to_string(ntohs(address.sin_port));
  const std::string USAGE = "Usage: qelvo-serve [--listen=ADDR:PORT] [--dir=DIR] "
                            "[--token-file=FILE] [-s DEV] [-b BAUD] [--flow=rtscts|none]\n";
  const struct {
    std::vector<std::string> args;
    std::string message;
    bool usage;
  } CASES[] = {
      {{"--bogus"}, "qelvo-serve: unknown option '--bogus'\n", true},
      {{"--listen"}, "qelvo-serve: option '--listen' needs a value\n", true},
      {{"--listen=8080"}, "qelvo-serve: --listen wants ADDR:PORT, not '8080'\n", true},
      {{"--listen", "127.0.0.1:99999"}, "--listen wants ADDR:PORT, not '127.0.0.1:99999'", true},
      {{"--flow=xon"}, "qelvo-serve: --flow wants rtscts or none, not 'xon'\n", true},
      {{"serve"}, "qelvo-serve: unexpected argument 'serve'\n", true},
      {{"--listen=127.0.0.1:" + takenPort},
       "qelvo-serve: cannot listen on 127.0.0.1:" + takenPort,
       false},
      {{"--dir=" + dir.file("no/caps")}, "cannot make the captures folder", false},
      {{"--dir=" + dir.file("loose")}, "cannot open the captures folder", false},
      {{"--token-file=" + dir.file("loose")}, "may be read by group or others", false},
      {{"--token-file", dir.file("short")}, "must hold one line of 32 lower-case hex", false},
      {{"--token-file=" + dir.file("upper")}, "must hold one line of 32 lower-case hex", false},
      {{"--token-file=" + dir.file("two")}, "must hold one line of 32 lower-case hex", false},
      {{"--token-file=" + dir.path()}, "is not a regular file", false},
  };
  for (const auto &c : CASES) {
    std::vector<std::string> argv{QELVO_SERVE_BIN, "--listen=127.0.0.1:0"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessResult r = runProgram(argv, {{"QELVO"}, dir.path()});
    EXPECT_EQ(r.exitStatus, 3) << c.args[0];
    EXPECT_EQ(r.out, "") << c.args[0];
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    EXPECT_EQ(contains(r.err, USAGE), c.usage) << r.err;
  }
  close(taken);
  ProcessResult help = runProgram({QELVO_SERVE_BIN, "--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_TRUE(help.out.starts_with(USAGE)) << help.out;
  ProcessResult version = runProgram({QELVO_SERVE_BIN, "--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.out, "qelvo-serve 0.2\n");
}

TEST(Serve, MakesTheTokenFileOnceAndTakesAFolderThatIsALink) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("real"));
  std::filesystem::create_directory_symlink(dir.file("real"), dir.file("caps"));
  std::string file = dir.file("real/.token");
  std::string first;
  for (int start = 0; start < 2; ++start) {
    Server server(dir, {"--token-file=" + file});
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(file), server.token + "\n");
    first = start == 0 ? server.token : first;
    EXPECT_EQ(server.token, first);
    // The folder is served through the link, the token file never.
    EXPECT_EQ(server.get("/api/captures").body, "[]");
    EXPECT_EQ(server.get("/captures/.token").status, 404);
    server.child().kill(SIGTERM);
    EXPECT_EQ(server.child().wait().exitStatus, 0);
  }
  Server fresh(dir);
  EXPECT_NE(fresh.token, first);
}

TEST(Serve, AnnouncesAnAddressOthersCanReachForAnUnspecifiedOne) {
  TempDir dir;
  for (const char *listen : {"--listen=0.0.0.0:0", "--listen=[::]:0"}) {
    Child server({QELVO_SERVE_BIN, listen, "--dir=" + dir.file("caps")}, {{"QELVO"}, dir.path()});
    waitFor([&] { return contains(server.currentOut(), "\n"); }, 5000);
    std::smatch found;
    std::string out = server.currentOut();
    ASSERT_TRUE(std::regex_match(
        out, found,
        std::regex(
            "qelvo-serve: serving http://\\[?([^/]*?)\\]?:([0-9]+)/\\?token=([0-9a-f]{32})\n")))
        << out;
    std::string host = found[1];
    EXPECT_FALSE(host.starts_with("127.") || host == "::1") << host;
    if (host == "0.0.0.0" || host == "::") {
      EXPECT_TRUE(contains(server.currentErr(), "warning")) << server.currentErr();
      continue;
    }
    addrinfo *address = nullptr;
    ASSERT_EQ(getaddrinfo(host.c_str(), found[2].str().c_str(), nullptr, &address), 0) << host;
    int fd = socket(address->ai_family, SOCK_STREAM, 0);
    EXPECT_EQ(connect(fd, address->ai_addr, address->ai_addrlen), 0) << host;
    freeaddrinfo(address);
    std::string text = request("GET", "/api/status?token=" + found[3].str());
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readAnswer(fd).status, 200) << host;
    close(fd);
  }
}

TEST(Serve, EveryRequestNeedsTheToken) {
  TempDir dir;
  Server server(dir);
  std::string bad = std::string(31, '0') + "1";
  const struct {
    std::string method, path, headers;
    int status;
  } CASES[] = {
      {"GET", "/api/status", "", 401},
      {"GET", "/api/status?token=" + bad, "", 401},
      {"GET", "/api/status", "Authorization: Bearer " + bad + "\r\n", 401},
      {"GET", "/api/status", "Cookie: qelvo_token=" + bad + "\r\n", 401},
      {"GET", "/api/status", "Authorization: Bearer " + server.token + "x\r\n", 401},
      {"GET", "/qelvo.js", "", 401},
      {"GET", "/captures/x.csv", "", 401},
      {"GET", "/nothing", "", 401},
      {"POST", "/api/stop", JSON_BODY, 401},
      {"GET", "/api/status?token=" + server.token, "", 200},
      {"GET", "/api/status", "Authorization: Bearer " + server.token + "\r\n", 200},
      {"GET", "/api/status", "Cookie: a=b; qelvo_token=" + server.token + "\r\n", 200},
      {"GET", "/qelvo.css", "Cookie: qelvo_token=" + server.token + "\r\n", 200},
  };
  for (const auto &c : CASES) {
    std::string body = "{}";
    HttpAnswer a = server.call(c.method, c.path, c.headers, c.method == "POST" ? &body : nullptr);
    EXPECT_EQ(a.status, c.status) << c.path << " " << c.headers;
    if (c.status == 401) {
      EXPECT_EQ(a.body, NEED_TOKEN) << c.path;
      EXPECT_EQ(a.header("Content-Type"), "application/json");
    }
    bool fromQuery = contains(c.path, server.token);
    EXPECT_EQ(a.header("Set-Cookie"),
              fromQuery ? "qelvo_token=" + server.token + "; HttpOnly; SameSite=Strict; Path=/"
                        : "")
        << c.path;
  }
  HttpAnswer page = server.call("GET", "/");
  EXPECT_EQ(page.status, 401);
  EXPECT_EQ(page.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_TRUE(contains(page.body, "open the address qelvo-serve printed at start")) << page.body;
  EXPECT_EQ(server.get("/").header("Content-Type"), "text/html; charset=utf-8");
}

TEST(Serve, RefusesBadRequestsWithTheFirstAnswerThatApplies) {
  TempDir dir;
  Server server(dir, {"--token-file=" + dir.file("token")});
  std::filesystem::create_directory(dir.file("caps/sub"));
  writeFile(dir.file("outside"), "secret");
  std::filesystem::create_symlink(dir.file("outside"), dir.file("caps/link"));
  std::filesystem::create_symlink(dir.file("token"), dir.file("caps/token"));
  writeFile(dir.file("caps/.hidden"), "hidden");
  std::string big(5000, ' ');
  big[0] = '{';
  big[4999] = '}';
  std::string auth = server.bearer();
  std::string chunked =
      auth + JSON_BODY + "Transfer-Encoding: chunked\r\n\r\n1388\r\n" + big + "\r\n0\r\n\r\n";
  const struct {
    std::string method, path, headers, body;
    int status;
    std::string answer;
  } CASES[] = {
      {"POST", "/api/capture", JSON_BODY, big, 401, NEED_TOKEN},
      {"POST", "/api/capture", auth + "Content-Type: text/plain\r\n", big, 413,
       R"({"error":"the body is larger than 4 KiB"})"},
      {"POST", "/api/capture", auth + "Content-Type: text/plain\r\n", "{}", 415,
       R"({"error":"the body must come as application/json"})"},
      {"POST", "/api/capture", auth, "{}", 415, ""},
      {"POST", "/api/stop", auth + "Content-Type: application/x-www-form-urlencoded\r\n", "a=b",
       415, ""},
      {"POST", "/api/capture", auth + "Content-Type: application/json; charset=utf-8\r\n", "", 400,
       R"({"error":"the body is not a JSON object of strings"})"},
      {"POST", "/api/capture", auth + JSON_BODY, R"({"channel":1})", 400,
       R"({"error":"the body is not a JSON object of strings"})"},
      {"POST", "/api/capture", auth + JSON_BODY, R"({"channel":"1"} x)", 400,
       R"({"error":"the body is not a JSON object of strings"})"},
      {"POST", "/api/capture", auth + JSON_BODY, R"({"channel":"1","colour":"red"})", 400,
       R"({"error":"unknown setting 'colour'"})"},
      {"POST", "/api/capture", auth + JSON_BODY, R"({"timebase":"0","measure":"maybe"})", 400,
       R"x({"error":"invalid settings","problems":["Invalid time base (0)","Invalid measure (maybe): use yes or no"]})x"},
      {"POST", "/api/capture", auth + JSON_BODY, R"({"name":"../x.dat"})", 400,
       R"x({"error":"invalid settings","problems":["Invalid file name (../x.dat)"]})x"},
      {"POST", "/api/stop", auth + JSON_BODY, "{}", 409, R"({"error":"nothing is running"})"},
      {"GET", "/api/capture", auth, "", 405, R"({"error":"method not allowed"})"},
      {"DELETE", "/api/status", auth, "", 405, ""},
      {"POST", "/captures/x", auth + JSON_BODY, "{}", 405, ""},
      {"GET", "/nothing", auth, "", 404, NOT_FOUND},
      {"GET", "/index.html", auth, "", 404, NOT_FOUND},
      {"GET", "/api/", auth, "", 404, NOT_FOUND},
      {"GET", "/api%2Fstatus", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/..", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/../outside", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/..%2Foutside", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/%2E%2E%2Foutside", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/link%00.csv", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/link%0a", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/link", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/token", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/sub", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/.hidden", auth, "", 404, NOT_FOUND},
      {"GET", "/captures/%2Ehidden", auth, "", 404, NOT_FOUND},
      {"GET", "/api/status", auth + "X-Long: " + std::string(9000, 'a') + "\r\n", "", 431, ""},
      {"GET", "/api/status", auth + "X-Long: " + std::string(40000, 'a') + "\r\n", "", 431, ""},
  };
  for (const auto &c : CASES) {
    HttpAnswer a = server.call(c.method, c.path, c.headers, c.method == "POST" ? &c.body : nullptr);
    EXPECT_EQ(a.status, c.status) << c.method << " " << c.path << " " << c.body.substr(0, 40);
    if (!c.answer.empty()) {
      EXPECT_EQ(a.body, c.answer) << c.path;
    }
    if (c.status != 431) {
      EXPECT_EQ(a.header("Referrer-Policy"), "no-referrer") << c.path;
      EXPECT_FALSE(contains(a.head, "Access-Control-")) << c.path;
    }
  }
  HttpAnswer chunkedAnswer =
      httpExchange(server.port, "POST /api/capture HTTP/1.1\r\nHost: x\r\n" + chunked);
  EXPECT_EQ(chunkedAnswer.status, 413) << chunkedAnswer.head;
  EXPECT_EQ(server.get("/api/captures").body, "[]");
}

TEST(Serve, ListsAndServesTheCapturesNewestFirst) {
  TempDir dir;
  Server server(dir);
  const struct {
    std::string name, content;
    time_t modified;
  } FILES[] = {{"old.csv", "1,2\n", 1700000000},
               {"new.dat", "0\t1\xb5\n", 1800000000},
               {"q\"uote.dat", "x", 1750000000}};
  for (const auto &f : FILES) {
    writeFile(dir.file("caps/" + f.name), f.content);
    timespec times[2] = {{f.modified, 0}, {f.modified, 0}};
    utimensat(AT_FDCWD, dir.file("caps/" + f.name).c_str(), times, 0);
  }
  std::filesystem::create_symlink("old.csv", dir.file("caps/alias.csv"));
  std::filesystem::create_directory(dir.file("caps/folder"));
  writeFile(dir.file("caps/.partial"), "x");
  HttpAnswer list = server.get("/api/captures");
  EXPECT_EQ(list.status, 200);
  EXPECT_EQ(list.header("Content-Type"), "application/json");
  EXPECT_EQ(list.body, R"([{"name":"new.dat","bytes":5,"modified":"2027-01-15T08:00:00Z"},)"
                       R"({"name":"q\"uote.dat","bytes":1,"modified":"2025-06-15T15:06:40Z"},)"
                       R"({"name":"old.csv","bytes":4,"modified":"2023-11-14T22:13:20Z"}])");
  const struct {
    std::string path, type, disposition, body;
  } DOWNLOADS[] = {
      {"/captures/old.csv", "text/csv; charset=us-ascii", R"(attachment; filename="old.csv")",
       "1,2\n"},
      {"/captures/new%2Edat", "text/plain; charset=iso-8859-1", R"(attachment; filename="new.dat")",
       "0\t1\xb5\n"},
      {"/captures/q%22uote.dat", "text/plain; charset=iso-8859-1",
       R"(attachment; filename="q\"uote.dat")", "x"},
  };
  for (const auto &d : DOWNLOADS) {
    HttpAnswer a = server.get(d.path);
    EXPECT_EQ(a.status, 200) << d.path;
    EXPECT_EQ(a.header("Content-Type"), d.type) << d.path;
    EXPECT_EQ(a.header("Content-Disposition"), d.disposition) << d.path;
    EXPECT_EQ(a.header("Content-Security-Policy"),
              "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    EXPECT_EQ(a.body, d.body) << d.path;
  }
  EXPECT_EQ(server.get("/captures/alias.csv").status, 404);
}

TEST(Serve, CapturesAsQelvoDoesAndAnswersWithTheResult) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "300"});
  Server server(dir);
  HttpAnswer status = server.get("/api/status");
  EXPECT_EQ(status.body, R"({"program":"qelvo-serve","version":"0.2","device":")" +
                             dir.file("tty") + R"(","speed":38400,"busy":false})");
  HttpAnswer a = server.post("/api/capture", R"({"channel":"2","wait":"yes","name":"run.dat"})");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, resultOf(1, 0, "qelvo: capture 1: 300 samples written to 'run-0001.dat'",
                             R"({"name":"run-0001.dat","samples":[300]})"));
  ProcessResult reference = runQelvo(dir, {"-s", "tty", "-c", "2", "reference.dat"});
  ASSERT_EQ(reference.exitStatus, 0) << reference.err;
  EXPECT_EQ(withoutCreationTime(readFile(dir.file("caps/run-0001.dat"))),
            withoutCreationTime(readFile(dir.file("reference.dat"))));
  HttpAnswer csv = server.post("/api/capture",
                               R"({"channels":"1,2","format":"csv","measure":"yes","wait":"yes"})");
  EXPECT_EQ(csv.status, 200);
  EXPECT_TRUE(contains(csv.body, R"("files":[{"name":"capture-0001.csv","samples":[300,300],)"
                                 R"("measure":[{"channel":1,"samples":300,"min":)"))
      << csv.body;
  EXPECT_EQ(server.get("/captures/capture-0001.csv").body,
            readFile(dir.file("caps/capture-0001.csv")));
  HttpAnswer sr = server.post("/api/capture", R"({"channels":"2,1","format":"sr","wait":"yes"})");
  EXPECT_EQ(sr.body, resultOf(3, 0, "qelvo: capture 1: 300 samples written to 'capture-0001.sr'",
                              R"({"name":"capture-0001.sr","samples":[300,300]})"));
  HttpAnswer zip = server.get("/captures/capture-0001.sr");
  EXPECT_EQ(zip.header("Content-Type"), "application/zip");
  EXPECT_EQ(zip.body.rfind("PK\x03\x04", 0), 0u);
  EXPECT_EQ(zip.body, readFile(dir.file("caps/capture-0001.sr")));
}

TEST(Serve, EventsFollowAJobForEveryViewer) {
  TempDir dir;
  VirtualScope scope(dir, LONG_RECORD);
  Server server(dir);
  std::string early;
  int first = server.viewer(early);
  EXPECT_TRUE(contains(early, "event: state\ndata: {\"busy\":false,\"job\":null}\n\n")) << early;
  HttpAnswer started = server.post("/api/capture", R"({"channel":"1","name":"e.dat"})");
  EXPECT_EQ(started.status, 202);
  EXPECT_EQ(started.body, R"({"job":1})");
  const std::string JOB = "event: job\ndata: {\"job\":1,\"settings\":{\"channel\":\"1\","
                          "\"name\":\"e.dat\"}}\n\n";
  EXPECT_TRUE(readUntil(first, "event: progress", early, 5000)) << early;
  std::string late;
  int second = server.viewer(late);
  EXPECT_TRUE(readUntil(second, JOB, late, 2000)) << late;
  EXPECT_TRUE(contains(late, "event: state\ndata: {\"busy\":true,\"job\":1}\n\n" + JOB)) << late;
  EXPECT_EQ(server.post("/api/capture", "{}").body, R"({"error":"busy: a capture is running"})");
  EXPECT_TRUE(contains(server.get("/api/status").body, "\"busy\":true"));
  const std::string DONE = "event: done\ndata: " +
                           resultOf(1, 0, "qelvo: capture 1: 4000 samples written to 'e-0001.dat'",
                                    R"({"name":"e-0001.dat","samples":[4000]})") +
                           "\n\n";
  for (auto [fd, seen] : {std::pair{first, &early}, std::pair{second, &late}}) {
    EXPECT_TRUE(readUntil(fd, DONE, *seen, 10000)) << *seen;
    EXPECT_TRUE(contains(*seen, "event: progress\ndata: {\"job\":1,\"samples\":[")) << *seen;
    EXPECT_TRUE(contains(*seen, "event: file\ndata: {\"job\":1,\"name\":\"e-0001.dat\","
                                "\"samples\":[4000]}\n\n"))
        << *seen;
    close(fd);
  }
  EXPECT_TRUE(contains(early, JOB));
  EXPECT_TRUE(contains(server.get("/api/status").body, "\"busy\":false"));
}

TEST(Serve, AnswersWhileQelvoHoldsTheLine) {
  TempDir dir;
  VirtualScope scope(dir, LONG_RECORD);
  Server server(dir);
  Child qelvo({QELVO_BIN, "-s", "tty", "-c", "1", "held.dat"}, {{"QELVO"}, dir.path()});
  ASSERT_TRUE(waitFor([&] { return !scope.received().empty(); }, 5000));
  HttpAnswer a = server.post("/api/capture", R"({"channel":"1","wait":"yes"})");
  EXPECT_EQ(a.status, 503);
  std::regex inUse(
      R"x(\{"error":"serial line '[^']*' is in use by process [0-9]+ \(qelvo\)"(,"cause":"[^"]*")?\})x");
  EXPECT_TRUE(std::regex_match(a.body, inUse)) << a.body;
  EXPECT_EQ(qelvo.wait().exitStatus, 0);
  EXPECT_EQ(server.get("/api/captures").body, "[]");
  EXPECT_EQ(server.post("/api/capture", R"({"channel":"1","wait":"yes"})").status, 200);
}

TEST(Serve, StopEndsTheJobAsSigintEndsQelvoAndAnswersBeside31Viewers) {
  TempDir dir;
  VirtualScope scope(dir, LONG_RECORD);
  Server server(dir);
  EXPECT_EQ(server.post("/api/capture", R"({"channel":"1"})").status, 202);
  ASSERT_TRUE(waitFor([&] { return samplesIn(dir.file("caps/capture-0001.dat")) > 100; }, 5000));
  std::vector<int> viewers;
  std::string seen;
  for (int i = 0; i < 31; ++i) {
    viewers.push_back(server.viewer(seen));
  }
  auto start = steady_clock::now();
  HttpAnswer stop = server.post("/api/stop", "{}");
  EXPECT_LT(secondsSince(start), 1.0);
  EXPECT_EQ(stop.status, 200);
  EXPECT_EQ(stop.body, R"({"job":1})");
  std::string done;
  EXPECT_TRUE(readUntil(viewers.back(), "]}]}\n\n", done, 5000)) << done;
  int kept = samplesIn(dir.file("caps/capture-0001.dat"));
  EXPECT_GT(kept, 100);
  EXPECT_LT(kept, 4000);
  EXPECT_TRUE(contains(done, "event: done\ndata: {\"job\":1,\"status\":130,")) << done;
  EXPECT_TRUE(contains(done, "\"samples\":[" + std::to_string(kept) + "]}]}")) << done;
  for (int fd : viewers) {
    close(fd);
  }
  EXPECT_EQ(server.post("/api/stop", "{}").status, 409);
  EXPECT_EQ(server.post("/api/capture", R"({"channel":"1","wait":"yes"})").status, 200);
}

TEST(Serve, SigtermDuringACaptureKeepsItsSamplesAndEndsWithStatus0) {
  TempDir dir;
  VirtualScope scope(dir, LONG_RECORD);
  Server server(dir);
  LineProbe probe(dir.file("tty"));
  std::string seen;
  int viewer = server.viewer(seen);
  HttpAnswer waited;
  std::thread capture(
      [&] { waited = server.post("/api/capture", R"({"channel":"1","wait":"yes"})"); });
  ASSERT_TRUE(waitFor([&] { return samplesIn(dir.file("caps/capture-0001.dat")) > 100; }, 5000));
  server.child().kill(SIGTERM);
  ProcessResult r = server.child().wait(5000);
  capture.join();
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  int kept = samplesIn(dir.file("caps/capture-0001.dat"));
  EXPECT_GT(kept, 100);
  EXPECT_LT(kept, 4000);
  EXPECT_EQ(waited.status, 200);
  EXPECT_TRUE(waited.body.starts_with(R"({"job":1,"status":143,)")) << waited.body;
  probe.expectRestored("after SIGTERM");
  EXPECT_TRUE(readUntil(viewer, "event: done", seen, 1000)) << seen;
  close(viewer);
}

TEST(Serve, RefusesConnectionsBeyond32AndDropsSlowRequestsWhileACaptureRuns) {
  TempDir dir;
  VirtualScope scope(dir, LONG_RECORD);
  Server server(dir);
  std::vector<int> idle;
  for (int i = 0; i < 32; ++i) {
    idle.push_back(connectLocal(server.port));
  }
  HttpAnswer refused = server.get("/api/status");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body, R"({"error":"too many connections"})");
  for (int fd : idle) {
    close(fd);
  }
  ASSERT_TRUE(waitFor([&] { return server.get("/api/status").status == 200; }, 2000));
  // Viewers that go away while nothing happens leave room all the same.
  std::string seen;
  for (int &fd : idle) {
    fd = server.viewer(seen);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200)); // all of them waiting
  for (int fd : idle) {
    close(fd);
  }
  EXPECT_EQ(server.get("/api/status").status, 200);
  // A request that trickles in is dropped 10 s after it began, meanwhile
  // another client's capture runs to its end.
  int slow = connectLocal(server.port);
  auto start = steady_clock::now();
  HttpAnswer waited;
  std::thread capture(
      [&] { waited = server.post("/api/capture", R"({"channels":"1,2","wait":"yes"})"); });
  std::string text =
      request("GET", "/api/status", server.bearer() + "X-Slow: ") + std::string(100, 'a');
  bool dropped = false;
  for (char c : text) {
    if (send(slow, &c, 1, MSG_NOSIGNAL) != 1) {
      dropped = true;
      break;
    }
    pollfd hangUp{slow, POLLIN, 0};
    if (poll(&hangUp, 1, 200) > 0) {
      char byte;
      dropped = read(slow, &byte, 1) <= 0;
      break;
    }
  }
  double after = secondsSince(start);
  EXPECT_TRUE(dropped);
  EXPECT_GT(after, 9.5);
  EXPECT_LT(after, 11.0);
  close(slow);
  capture.join();
  EXPECT_EQ(waited.status, 200);
  EXPECT_TRUE(contains(waited.body, R"("status":0,)")) << waited.body;
  EXPECT_EQ(rawSamples(readFile(dir.file("caps/capture-0001.dat")), 1).size(), 4000u);
}

TEST(Serve, ParallelStatusRequestsCostAFastCaptureNoSample) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "20000"});
  Server server(dir, {"-b", "460800"});
  HttpAnswer waited;
  std::thread capture([&] {
    waited = server.post("/api/capture", R"({"channel":"1","wait":"yes","name":"fast.dat"})");
  });
  ASSERT_TRUE(waitFor([&] { return samplesIn(dir.file("caps/fast-0001.dat")) > 0; }, 5000));
  std::vector<std::thread> clients;
  std::vector<int> statuses(50);
  for (size_t i = 0; i < statuses.size(); ++i) {
    clients.emplace_back([&, i] { statuses[i] = server.get("/api/status").status; });
  }
  for (std::thread &client : clients) {
    client.join();
  }
  capture.join();
  for (int status : statuses) {
    EXPECT_TRUE(status == 200 || status == 503) << status;
  }
  EXPECT_EQ(waited.status, 200);
  EXPECT_EQ(rawSamples(readFile(dir.file("caps/fast-0001.dat")), 1),
            VirtualScope::waveform({"--samples", "20000"}, 1));
}

TEST(Serve, StatusReportsTheSpeedTheLastProbeFound) {
  TempDir dir;
  VirtualScope scope(dir, {"--scope-speed", "57600", "--mismatch", "silent", "--samples", "20"});
  Server server(dir, {"-b", "auto"});
  const std::string head =
      R"({"program":"qelvo-serve","version":"0.2","device":")" + dir.file("tty") + R"(","speed":)";
  EXPECT_EQ(server.get("/api/status").body, head + R"(null,"busy":false})");
  for (int job = 1; job <= 2; ++job) {
    HttpAnswer a = server.post("/api/capture", R"({"channel":"1","wait":"yes"})");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(contains(a.body, R"("status":0,)")) << a.body;
    EXPECT_EQ(server.get("/api/status").body, head + R"(57600,"busy":false})");
  }
  // Each job probes: 38400 and 9600 go unheard, 19200 too, then "s" at 57600.
  EXPECT_EQ(scope.received(12), "s1sd0es1sd0e");
}

TEST(Serve, ASeriesThatKeepsGoingListsTheCapturesItLost) {
  TempDir dir;
  auto dying = std::make_unique<VirtualScope>(
      dir, std::vector<std::string>{"--samples", "300", "--fault", "die-in-capture=2:20"});
  Server server(dir);
  EXPECT_EQ(
      server.post("/api/capture", R"({"keep_going":"maybe"})").body,
      R"({"error":"invalid settings","problems":["Invalid keep_going (maybe): use yes or no"]})");
  std::string seen;
  int viewer = server.viewer(seen);
  EXPECT_EQ(server
                .post("/api/capture",
                      R"({"count":"3","interval":"0.5","keep_going":"yes","name":"k.dat"})")
                .status,
            202);
  // The scope comes back once the first one's terminal is gone.
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.file("caps/k-0002.dat")); }, 10000));
  ASSERT_TRUE(waitFor([&] { return access(dir.file("tty").c_str(), F_OK) != 0; }, 10000));
  dying.reset();
  VirtualScope back(dir, {"--samples", "300"});
  ASSERT_TRUE(readUntil(viewer, "event: done", seen, 20000)) << seen;
  ASSERT_TRUE(readUntil(viewer, "\n\n", seen, 2000));
  close(viewer);
  std::smatch found;
  const std::regex DONE(
      "event: done\ndata: \\{\"job\":1,\"status\":1,\"message\":\"qelvo: 2 of 3 captures written\","
      "\"files\":\\[\\{\"name\":\"k-0001.dat\",\"samples\":\\[300\\]\\},"
      "\\{\"name\":\"k-0002.dat\",\"samples\":\\[([0-9]+)\\]\\},"
      "\\{\"name\":\"k-0003.dat\",\"samples\":\\[300\\]\\}\\],"
      "\"failed\":\\[\\{\"capture\":2,\"reason\":\"Oszi not connected to '([^']*)' or switched "
      "off\"\\}\\]\\}\n\n");
  ASSERT_TRUE(std::regex_search(seen, found, DONE)) << seen;
  EXPECT_EQ(found[2], dir.file("tty"));
  EXPECT_EQ(std::stoi(found[1]), samplesIn(dir.file("caps/k-0002.dat")));
}
