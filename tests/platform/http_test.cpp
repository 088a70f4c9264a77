// HTTP exchange against servers started inside the test on 127.0.0.1: the
// headers sent and not sent, basic authentication, status handling, the body
// cap, servers that refuse or stay silent, and the caller's work done while
// the server handles a request.
#include "platform/http.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace qx {
namespace {

// A socket bound to an ephemeral port of 127.0.0.1; listening or not.
class RawSocket {
 public:
  explicit RawSocket(bool listening) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (listening) listen(fd_, 4);
  }
  ~RawSocket() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Post(
        "/cgi-bin/fpserver.cgi", [this](const httplib::Request& req, httplib::Response& res) {
          std::unique_lock<std::mutex> lock(mutex_);
          seen_ = req;
          if (holdReplyUntilWorked_) {
            workedOrDeadline_.wait_for(lock, std::chrono::seconds(30), [this] { return worked_; });
            workedBeforeReply_ = worked_;
          }
          res.status = status_;
          res.set_content(reply_, "text/xml");
        });
    // A reply that drips in a byte at a time and would take half a minute.
    server_.Post("/drip", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/xml", [this](size_t offset, httplib::DataSink& sink) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (offset >= 600 || workedOrDeadline_.wait_for(lock, std::chrono::milliseconds(50),
                                                        [this] { return stopDrip_; })) {
          sink.done();
          return true;
        }
        return sink.write("x", 1);
      });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    // The socket already listens, so connections queue until the loop runs.
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  void TearDown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopDrip_ = true;
    }
    workedOrDeadline_.notify_all();
    server_.stop();
    thread_.join();
  }

  HttpPost Post(std::string body) const {
    HttpPost post;
    post.url = "http://127.0.0.1:" + std::to_string(port_) + "/cgi-bin/fpserver.cgi";
    post.body = std::move(body);
    post.user = "epson";
    post.password = "s3cret";
    return post;
  }

  httplib::Request Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  httplib::Request seen_;
  int status_ = 200;
  std::string reply_ = "<reply/>";
  // When set, the server answers only once the client's work has run.
  bool holdReplyUntilWorked_ = false;
  bool worked_ = false;
  bool workedBeforeReply_ = false;
  bool stopDrip_ = false;
  std::condition_variable workedOrDeadline_;
};

TEST_F(HttpTest, PostsXmlWithBasicAuthAndOnlyTheWantedHeaders) {
  const HttpReply reply = PostXml(Post("<soapenv:Envelope/>"));
  EXPECT_TRUE(reply.success);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.reason, "OK");
  EXPECT_EQ(reply.body, "<reply/>");
  const httplib::Request req = Seen();
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.body, "<soapenv:Envelope/>");
  EXPECT_EQ(req.get_header_value("Content-Type"), "application/soap+xml; charset=utf-8");
  EXPECT_EQ(req.get_header_value("Authorization"), "Basic ZXBzb246czNjcmV0");  // epson:s3cret
  for (const char* absent :
       {"User-Agent", "Accept-Encoding", "Accept-Language", "Accept-Charset", "Expect", "Accept"}) {
    EXPECT_FALSE(req.has_header(absent)) << absent;
  }
}

TEST_F(HttpTest, LargeBodyIsSentWithoutExpectContinue) {
  const std::string body(2 * 1024 * 1024, 'x');
  const HttpReply reply = PostXml(Post(body));
  EXPECT_TRUE(reply.success);
  const httplib::Request req = Seen();
  EXPECT_EQ(req.body.size(), body.size());
  EXPECT_FALSE(req.has_header("Expect"));
}

TEST_F(HttpTest, WorkWhileWaitingRunsOnceWhileTheServerHoldsTheRequest) {
  holdReplyUntilWorked_ = true;
  const std::string body(256 * 1024, 'x');  // more than one send
  HttpPost post = Post(body);
  int runs = 0;
  post.whileWaiting = [&] {
    ++runs;
    std::lock_guard<std::mutex> lock(mutex_);
    worked_ = true;
    workedOrDeadline_.notify_all();
  };
  const HttpReply reply = PostXml(post);
  EXPECT_TRUE(reply.success);
  EXPECT_EQ(reply.body, "<reply/>");
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(Seen().body, body);
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_TRUE(workedBeforeReply_);
}

TEST_F(HttpTest, WorkThatRaisesLeavesTheExchangeAsItIs) {
  HttpPost post = Post("<a/>");
  post.whileWaiting = [] { throw std::runtime_error("disk full"); };
  const HttpReply reply = PostXml(post);
  EXPECT_TRUE(reply.success);
  EXPECT_EQ(reply.body, "<reply/>");
}

TEST_F(HttpTest, OnlyTwoHundredsSucceed) {
  status_ = 204;
  reply_ = "";
  EXPECT_TRUE(PostXml(Post("<a/>")).success);
  status_ = 500;
  reply_ = "<fault/>";
  HttpReply reply = PostXml(Post("<a/>"));
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.reason, "Internal Server Error");
  status_ = 401;
  reply = PostXml(Post("<a/>"));
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.status, 401);
  EXPECT_EQ(reply.reason, "Unauthorized");
  status_ = 302;
  EXPECT_FALSE(PostXml(Post("<a/>")).success);
}

TEST_F(HttpTest, ReplyBodyOverTheCapIsAFailedPost) {
  reply_ = std::string(kMaxReplyBody, 'a');
  HttpReply reply = PostXml(Post("<a/>"));
  EXPECT_TRUE(reply.success);
  EXPECT_EQ(reply.body.size(), kMaxReplyBody);
  reply_ += 'a';
  reply = PostXml(Post("<a/>"));
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.reason, "Reply body too large");
  EXPECT_TRUE(reply.body.empty());
}

TEST_F(HttpTest, DrippingReplyFailsAtTheDeadline) {
  HttpPost post = Post("<a/>");
  post.url = "http://127.0.0.1:" + std::to_string(port_) + "/drip";
  post.deadlineMillis = 300;
  HttpReply reply = PostXml(post);
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.reason, "Timeout was reached");
  // The same when the exchange is driven step by step around the caller's work.
  post.whileWaiting = [] {};
  reply = PostXml(post);
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.reason, "Timeout was reached");
}

TEST(HttpDeadlineTest, DeadlineComesFromTheEnvironment) {
  const struct {
    const char* value;
    int64_t millis;
  } cases[] = {{nullptr, 60000}, {"1500", 1500}, {"", 60000},
               {"0", 60000},     {"-5", 60000},  {"2s", 60000}};
  for (const auto& c : cases) {
    if (c.value == nullptr) {
      unsetenv("QX_HTTP_DEADLINE_MS");
    } else {
      setenv("QX_HTTP_DEADLINE_MS", c.value, 1);
    }
    EXPECT_EQ(HttpDeadlineMillis(), c.millis) << (c.value ? c.value : "unset");
    EXPECT_EQ(HttpPost().deadlineMillis, c.millis);
  }
  unsetenv("QX_HTTP_DEADLINE_MS");
}

TEST(HttpFailureTest, ConnectionRefusedGivesStatusZeroAndTransportText) {
  RawSocket closed(false);
  HttpPost post;
  post.url = "http://127.0.0.1:" + std::to_string(closed.port()) + "/cgi-bin/fpmate.cgi";
  const HttpReply reply = PostXml(post);
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.reason, "Couldn't connect to server");
}

TEST(HttpFailureTest, WorkWhileWaitingRunsOnceWhenNoReplyComes) {
  RawSocket closed(false);
  HttpPost post;
  post.url = "http://127.0.0.1:" + std::to_string(closed.port()) + "/cgi-bin/fpmate.cgi";
  int runs = 0;
  post.whileWaiting = [&] { ++runs; };
  const HttpReply reply = PostXml(post);
  EXPECT_EQ(reply.reason, "Couldn't connect to server");
  EXPECT_EQ(runs, 1);
  post.url = "not a url";
  EXPECT_FALSE(PostXml(post).success);
  EXPECT_EQ(runs, 2);
}

TEST(HttpFailureTest, SilentServerTimesOut) {
  RawSocket silent(true);  // accepts connections in the kernel, never answers
  HttpPost post;
  post.url = "http://127.0.0.1:" + std::to_string(silent.port()) + "/cgi-bin/fpmate.cgi";
  post.idleTimeoutSeconds = 1;
  HttpReply reply = PostXml(post);
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.reason, "Timeout was reached");
  // The same when the exchange is driven step by step around the caller's work.
  int runs = 0;
  post.whileWaiting = [&] { ++runs; };
  reply = PostXml(post);
  EXPECT_EQ(reply.reason, "Timeout was reached");
  EXPECT_EQ(runs, 1);
}

TEST(HttpFailureTest, UnsupportedSchemeAndBadUrlFail) {
  HttpPost post;
  post.url = "ftp://127.0.0.1/x";
  EXPECT_FALSE(PostXml(post).success);
  post.url = "not a url";
  const HttpReply reply = PostXml(post);
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.status, 0);
  EXPECT_FALSE(reply.reason.empty());
}

}  // namespace
}  // namespace qx
