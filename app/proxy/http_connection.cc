#include "proxy/http_connection.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <future>
#include <iterator>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

#include "proxy/connect_tunnel.h"
#include "proxy/host_policy.h"
#include "proxy/listen_address.h"
#include "proxy/request_target.h"
#include "proxy/tls_interception.h"

namespace cvie::proxy {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

constexpr std::chrono::seconds kLingerTime{2};
constexpr size_t kLingerMaxBytes = 1 << 20;
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";
constexpr std::string_view kHttp11 = "http/1.1";

// The writer a handler gets: applies the ResponsePlan and sends the bytes through
// the connection's strand. Used by one worker thread only.
class ConnectionResponseWriter : public ResponseWriter {
 public:
  ConnectionResponseWriter(HttpConnection* connection, const RequestTraits& traits,
                           const ServerState& state)
      : connection_(connection), traits_(traits), state_(state) {}

  bool Start(int status, std::string_view reason, const HeaderList& headers) override {
    if (started_ || connection_->cancelled()) return false;
    bool allow_keep_alive = !state_.stopping.load();
    if (!PlanResponse(traits_, status, reason, headers, allow_keep_alive, &plan_)) {
      return false;
    }
    started_ = true;
    head_pending_ = true;
    return true;
  }

  bool Write(std::string_view data) override {
    if (!started_ || finished_ || failed_) return false;
    if (data.empty()) return true;
    switch (plan_.framing) {
      case BodyFraming::kNone:
        return true;  // HEAD, 204, 304: the body is not sent
      case BodyFraming::kLength: {
        uint64_t room = plan_.content_length - sent_;
        bool overflow = data.size() > room;
        if (overflow) data = data.substr(0, static_cast<size_t>(room));
        if (!data.empty() && !Send(data, false)) return false;
        sent_ += data.size();
        return !overflow;
      }
      case BodyFraming::kChunked:
        return Send(data, true);
      case BodyFraming::kUntilClose:
        sent_ += data.size();
        return Send(data, false);
    }
    return false;
  }

  bool Finish() override {
    if (!started_) return false;
    if (finished_) return !failed_;
    finished_ = true;
    if (failed_) return false;
    if (plan_.framing == BodyFraming::kChunked) {
      std::vector<net::const_buffer> buffers;
      if (head_pending_) buffers.push_back(net::buffer(plan_.head));
      buffers.push_back(net::buffer("0\r\n\r\n", 5));
      return SendRaw(buffers);
    }
    if (head_pending_ && !SendRaw({net::buffer(plan_.head)})) return false;
    if (plan_.framing == BodyFraming::kLength && sent_ < plan_.content_length) {
      // The handler gave less than it announced: the browser must not wait for
      // the rest on a connection that would then be out of step.
      failed_ = true;
      return false;
    }
    return true;
  }

  void Abandon() override {
    if (!started_ || finished_) return;
    if (head_pending_) SendRaw({net::buffer(plan_.head)});
    finished_ = true;
    failed_ = true;
  }

  bool started() const override { return started_; }
  bool cancelled() const override { return failed_ || connection_->cancelled(); }
  void SetCancelCallback(std::function<void()> callback) override {
    connection_->SetCancelCallback(std::move(callback));
  }

  // Called after the handler returned: answers for a handler that wrote nothing
  // (or threw before starting) and finishes a started response.
  void Complete(bool panel, bool handler_failed) {
    // A response the handler started and then left by throwing may be cut
    // short; the error response written here for it is whole.
    bool cut_short = handler_failed && started_;
    if (!started_) {
      int status = panel ? (handler_failed ? 500 : 404) : 502;
      std::string body = panel ? (handler_failed ? "The control panel failed.\n"
                                                 : "No control panel here.\n")
                               : "The proxy could not fetch this page.\n";
      HeaderList headers = {{"Content-Type", "text/plain; charset=utf-8"},
                            {"Content-Length", std::to_string(body.size())}};
      if (Start(status, "", headers)) Write(body);
    }
    if (started_ && !finished_) {
      if (cut_short) failed_ = true;
      Finish();
    }
  }

  // True when the connection may read the next request.
  bool keep_alive() const {
    return started_ && finished_ && !failed_ && plan_.keep_alive;
  }

 private:
  bool Send(std::string_view data, bool chunk) {
    char size_line[24];
    int n = chunk ? snprintf(size_line, sizeof size_line, "%zx\r\n", data.size()) : 0;
    std::vector<net::const_buffer> buffers;
    if (head_pending_) buffers.push_back(net::buffer(plan_.head));
    if (chunk) buffers.push_back(net::buffer(size_line, static_cast<size_t>(n)));
    buffers.push_back(net::buffer(data.data(), data.size()));
    if (chunk) buffers.push_back(net::buffer("\r\n", 2));
    return SendRaw(buffers);
  }

  bool SendRaw(const std::vector<net::const_buffer>& buffers) {
    bool ok = connection_->WriteFromWorker(buffers);
    head_pending_ = false;
    if (!ok) failed_ = true;
    return ok;
  }

  HttpConnection* connection_;
  const RequestTraits traits_;
  const ServerState& state_;
  ResponsePlan plan_;
  bool started_ = false;
  bool head_pending_ = false;  // the head goes out with the first body bytes
  bool finished_ = false;
  bool failed_ = false;
  uint64_t sent_ = 0;
};

std::string EndpointText(const tcp::socket& socket) {
  boost::system::error_code ec;
  tcp::endpoint remote = socket.remote_endpoint(ec);
  if (ec) return "unknown";
  return FormatHostPort(remote.address().to_string(), remote.port());
}

bool SameHost(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// "https://host[:port]": the port is left out when it is the default one.
std::string HttpsOrigin(const std::string& host, uint16_t port) {
  if (port != 443) return "https://" + FormatHostPort(host, port);
  if (host.find(':') != std::string::npos) return "https://[" + host + "]";
  return "https://" + host;
}

bool IsHttpParseError(beast::error_code ec) {
  return ec.category() == http::make_error_code(http::error::bad_target).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

}  // namespace

HttpConnection::HttpConnection(std::shared_ptr<ServerState> state, tcp::socket socket)
    : state_(std::move(state)), stream_(std::move(socket)) {
  client_address_ = EndpointText(stream_.socket());
  // Nothing but a request head, a chunk-size line or trailer fields waits in
  // the buffer unparsed (body bytes are taken out as they come), so this
  // bounds what one connection can make the proxy hold besides its body.
  buffer_.max_size(static_cast<size_t>(state_->options.max_header_bytes) +
                   state_->options.max_chunk_line_bytes);
}

HttpConnection::~HttpConnection() { ReleaseBody(); }

void HttpConnection::Start() {
  id_ = state_->Register(shared_from_this());
  boost::system::error_code ignored;
  stream_.socket().set_option(tcp::no_delay(true), ignored);
  tcp::endpoint remote = stream_.socket().remote_endpoint(ignored);
  client_slot_ =
      state_->AdmitClient(ignored ? std::string() : remote.address().to_string());
  if (!client_slot_) {
    return SendAndClose(
        SimpleResponse(503, "Too many connections from this address.\n", true));
  }
  ReadRequest();
}

void HttpConnection::ReleaseBody() {
  if (body_counted_ == 0) return;
  state_->ReleaseBody(body_counted_);
  body_counted_ = 0;
}

bool HttpConnection::NamesThisProxy(const std::string& host) const {
  RequestTarget parsed = ParseRequestTarget("http://" + host + "/");
  if (parsed.form != TargetForm::kAbsolute || parsed.path != "/") return false;
  // A Host without a port is taken as naming this proxy's port: the names
  // below are ours whatever the port, and a rebinding page's Host always
  // carries its own name.
  size_t colon = host.rfind(':');
  size_t bracket = host.rfind(']');
  bool port_given =
      colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  if (port_given && parsed.port != state_->listen_port) return false;
  std::string name = parsed.host;
  for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (name == "localhost" || name == "127.0.0.1" || name == "::1" ||
      name == state_->listen_host) {
    return true;
  }
  // The address the client reached us on (a proxy listening on 0.0.0.0 is
  // reached on one of the machine's addresses); an address literal is never a
  // name someone else controls.
  boost::system::error_code ec;
  tcp::endpoint local = stream_.socket().local_endpoint(ec);
  return !ec && name == local.address().to_string();
}

void HttpConnection::StopGracefully() {
  net::post(stream_.get_executor(), [self = shared_from_this()] {
    if (self->handling_) {
      self->close_after_response_ = true;
    } else {
      self->CloseNow();
    }
  });
}

void HttpConnection::Abort() {
  MarkCancelled();
  net::post(stream_.get_executor(), [self = shared_from_this()] { self->CloseNow(); });
}

void HttpConnection::ReadRequest() {
  if (closed_) return;
  const ProxyServerOptions& options = state_->options;
  parser_.emplace();
  parser_->header_limit(options.max_header_bytes);
  parser_->body_limit(options.max_body_bytes);
  stream_.expires_after(first_request_ ? options.read_timeout : options.idle_timeout);
  WithStream([&](auto& stream) {
    http::async_read_header(stream, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, size_t) {
                              self->OnHeader(ec);
                            });
  });
}

void HttpConnection::FailRead(beast::error_code ec) {
  if (ec == http::error::header_limit) {
    SendAndClose(SimpleResponse(431, "Request header too large.\n", true));
  } else if (ec == http::error::body_limit) {
    SendAndClose(SimpleResponse(413, "Request body too large.\n", true));
  } else if (ec == http::error::buffer_overflow) {
    // The read buffer is full of a chunk-size line or trailer fields.
    SendAndClose(
        SimpleResponse(413, "A chunk line or the trailer fields are too large.\n", true));
  } else if (IsHttpParseError(ec)) {
    SendAndClose(SimpleResponse(400, "Malformed request.\n", true));
  } else {
    // The client went away, stayed silent too long, or the server is stopping.
    CloseNow();
  }
}

void HttpConnection::OnHeader(beast::error_code ec) {
  if (closed_) return;
  if (ec) return FailRead(ec);
  first_request_ = false;
  stream_.expires_after(state_->options.read_timeout);
  const auto& request = parser_->get();
  if (static_cast<size_t>(std::distance(request.begin(), request.end())) >
      state_->options.max_header_count) {
    return SendAndClose(SimpleResponse(431, "Too many request header fields.\n", true));
  }
  head_headers_.clear();
  for (const auto& field : request) {
    head_headers_.push_back(
        {std::string(field.name_string().data(), field.name_string().size()),
         std::string(field.value().data(), field.value().size())});
  }
  if (int status = TransferCodingStatus(request.version(), head_headers_); status != 0) {
    return SendAndClose(SimpleResponse(
        status,
        status == 501 ? "Transfer codings other than chunked are not supported.\n"
                      : "The request's Transfer-Encoding does not end in chunked.\n",
        true));
  }
  if (request.method() == http::verb::connect) {
    if (tls_) {
      return SendAndClose(
          SimpleResponse(400, "CONNECT inside a secure connection is refused.\n", true));
    }
    return StartTunnel();
  }
  // Refused before any body is read.
  RequestTarget target = ParseRequestTarget(
      std::string_view(request.target().data(), request.target().size()));
  if (target.form != TargetForm::kOrigin && target.form != TargetForm::kAbsolute) {
    return SendAndClose(SimpleResponse(400, "Unsupported request target.\n", true));
  }
  // Inside a secure connection the browser talks to the CONNECT's host only.
  if (tls_ && target.form == TargetForm::kAbsolute &&
      (target.scheme != "https" || !SameHost(target.host, tls_host_) ||
       target.port != tls_port_)) {
    return SendAndClose(SimpleResponse(
        400, "The request names another site than this secure connection.\n", true));
  }

  if (!parser_->is_done()) {
    // A declared length is counted at once: many large uploads at the same
    // time are refused before their bytes arrive.
    if (auto length = parser_->content_length(); length && *length > 0) {
      if (!state_->ReserveBody(*length)) {
        return SendAndClose(SimpleResponse(
            503, "The proxy is receiving too many uploads; try again later.\n", true));
      }
      body_counted_ = *length;
    }
    auto expect = request.find(http::field::expect);
    // An HTTP/1.1 client that asked may wait for this before sending its body.
    if (request.version() >= 11 && expect != request.end() &&
        HeaderHasToken(std::string_view(expect->value().data(), expect->value().size()),
                       "100-continue")) {
      server_response_.assign(kContinue);
      WithStream([&](auto& stream) {
        net::async_write(stream, net::buffer(server_response_),
                         [self = shared_from_this()](beast::error_code ec, size_t) {
                           if (ec) return self->CloseNow();
                           self->ReadBody();
                         });
      });
      return;
    }
    return ReadBody();
  }
  Dispatch();
}

void HttpConnection::ReadBody() {
  if (closed_) return;
  stream_.expires_after(state_->options.read_timeout);
  ReadMoreBody();
}

void HttpConnection::ReadMoreBody() {
  WithStream([&](auto& stream) {
    http::async_read_some(stream, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                            self->OnBodyPart(ec);
                          });
  });
}

void HttpConnection::OnBodyPart(beast::error_code ec) {
  if (closed_) return;
  if (ec) return FailRead(ec);
  const auto& request = parser_->get();
  // A chunked body is counted as it grows.
  uint64_t size = request.body().size();
  if (size > body_counted_) {
    if (!state_->ReserveBody(size - body_counted_)) {
      return SendAndClose(SimpleResponse(
          503, "The proxy is receiving too many uploads; try again later.\n", true));
    }
    body_counted_ = size;
  }
  if (!parser_->is_done()) return ReadMoreBody();
  // Trailer fields count against the header limits, together with the head.
  size_t fields = 0;
  uint64_t field_bytes = 0;
  for (const auto& field : request) {
    ++fields;
    field_bytes += field.name_string().size() + field.value().size() + 4;
  }
  if (fields > state_->options.max_header_count ||
      field_bytes > state_->options.max_header_bytes) {
    return SendAndClose(
        SimpleResponse(431, "Too many or too large header and trailer fields.\n", true));
  }
  Dispatch();
}

void HttpConnection::StartTunnel() {
  const auto& request = parser_->get();
  std::string_view target(request.target().data(), request.target().size());
  RequestTarget authority = ParseConnectTarget(target);
  if (authority.form != TargetForm::kAuthority) {
    return SendAndClose(SimpleResponse(400, "CONNECT needs host:port.\n", true));
  }
  const std::vector<uint16_t>& ports = state_->options.connect_ports;
  if (std::find(ports.begin(), ports.end(), authority.port) == ports.end()) {
    std::string allowed;
    for (uint16_t port : ports)
      allowed += (allowed.empty() ? "" : ", ") + std::to_string(port);
    return SendAndClose(SimpleResponse(403,
                                       "The proxy opens tunnels only to port" +
                                           std::string(ports.size() == 1 ? " " : "s ") +
                                           allowed + ".\n",
                                       true));
  }
  if (state_->stopping.load()) {
    return SendAndClose(SimpleResponse(503, "The proxy is stopping.\n", true));
  }
  // A listed advertising host is refused whether its connection would be
  // inspected or tunnelled: inside an inspected connection only pages are
  // edited, so a script or image the page adds at run time would otherwise
  // still reach it.
  if (HostPolicy* policy = state_->options.host_policy) {
    HostVerdict verdict = policy->CheckTunnelHost(authority.host);
    if (verdict.blocked) {
      state_->Log("blocked the secure site " + authority.host + " (" + verdict.list +
                  ":" + std::to_string(verdict.line) + ": " + verdict.rule + ")");
      if (state_->options.on_tunnel_blocked) {
        state_->options.on_tunnel_blocked(authority.host, verdict);
      }
      return SendAndClose(SimpleResponse(
          403, "Blocked: " + authority.host + " is an advertising or tracking host.\n",
          true));
    }
  }
  TlsInterception* interception = state_->options.tls_interception;
  if (interception && interception->ShouldInspect(authority.host)) {
    return StartTls(std::move(authority.host), authority.port);
  }
  // Bytes the client sent after the CONNECT header already belong to the tunnel.
  std::string early(static_cast<const char*>(buffer_.data().data()), buffer_.size());
  buffer_.consume(buffer_.size());
  closed_ = true;
  state_->Unregister(id_);
  stream_.expires_never();
  ConnectTunnel::Launch(state_, stream_.release_socket(), std::move(early),
                        std::move(authority.host), authority.port,
                        std::move(client_slot_));
}

void HttpConnection::StartTls(std::string host, uint16_t port) {
  std::string error;
  std::shared_ptr<SSL_CTX> context =
      state_->options.tls_interception->ContextFor(host, &error);
  if (!context) {
    state_->Log("cannot filter the secure site " + host + ": " + error);
    return SendAndClose(SimpleResponse(
        502, "The proxy cannot secure a connection to " + host + ".\n", true));
  }
  // The session keeps its own reference to the context; so does the wrapper,
  // which frees one when it goes.
  SSL_CTX_up_ref(context.get());
  tls_context_.emplace(context.get());
  tls_.emplace(stream_, *tls_context_);
  tls_host_ = std::move(host);
  tls_port_ = port;
  // A client that did not wait for the answer has started its handshake.
  tls_early_.assign(static_cast<const char*>(buffer_.data().data()), buffer_.size());
  buffer_.consume(buffer_.size());
  parser_.reset();
  server_response_.assign(kEstablished);
  stream_.expires_after(state_->options.write_timeout);
  net::async_write(
      stream_, net::buffer(server_response_),
      [self = shared_from_this()](beast::error_code ec, size_t) {
        if (self->closed_) return;
        if (ec) return self->CloseNow();
        self->stream_.expires_after(self->state_->options.tls_handshake_timeout);
        self->tls_->async_handshake(
            net::ssl::stream_base::server, net::buffer(self->tls_early_),
            [self](beast::error_code ec, size_t) { self->OnTlsHandshake(ec); });
      });
}

void HttpConnection::OnTlsHandshake(beast::error_code ec) {
  if (closed_) return;
  if (!ec) {
    // Only HTTP/1.1 is spoken inside; a context that let the client pick another
    // protocol would leave both sides talking past each other.
    const unsigned char* alpn = nullptr;
    unsigned int alpn_size = 0;
    SSL_get0_alpn_selected(tls_->native_handle(), &alpn, &alpn_size);
    if (alpn_size != 0 &&
        std::string_view(reinterpret_cast<const char*>(alpn), alpn_size) != kHttp11) {
      state_->Log("secure connection from " + client_address_ + " for " + tls_host_ +
                  " closed: it negotiated a protocol other than http/1.1");
      return CloseNow();
    }
  }
  if (ec) {
    state_->Log("secure connection from " + client_address_ + " for " + tls_host_ +
                " failed in the handshake: " + ec.message());
    return CloseNow();
  }
  tls_early_.clear();
  first_request_ = true;
  ReadRequest();
}

void HttpConnection::Dispatch() {
  auto& message = parser_->get();
  std::string_view target(message.target().data(), message.target().size());
  RequestTarget parsed = ParseRequestTarget(target);  // checked in OnHeader

  auto request = std::make_shared<ProxyRequest>();
  request->method.assign(message.method_string().data(), message.method_string().size());
  request->target.assign(target);
  request->version = static_cast<int>(message.version());
  // The fields of the head only: trailer fields (which the parser files among
  // them) are not passed on, as the body goes upstream with a length and a
  // trailer must not pose as a header.
  request->headers = std::move(head_headers_);
  head_headers_.clear();
  request->body = std::move(message.body());
  request->client_address = client_address_;

  RequestTraits traits;
  traits.head = message.method() == http::verb::head;
  traits.version = request->version;
  traits.keep_alive = ClientWantsKeepAlive(request->version, request->headers);
  RemoveHopByHopHeaders(&request->headers);

  // A request that carries our own Via token has been through this proxy
  // already and came back: refused here, before it waits for a worker that
  // its outer request may hold.
  if (!state_->options.loop_token.empty()) {
    for (const Header& h : request->headers) {
      if (EqualsIgnoreCase(h.name, "Via") &&
          h.value.find(state_->options.loop_token) != std::string::npos) {
        return SendAndClose(SimpleResponse(
            508, "The request came back to this proxy: it loops.\n", true));
      }
    }
  }

  bool panel = false;
  request->path = parsed.path;
  if (tls_) {
    // Inside a secure connection: the CONNECT named the site, never the panel.
    request->url = HttpsOrigin(tls_host_, tls_port_) + parsed.path;
    // The self-test address is answered here: the browser reaches it only
    // through an inspected connection, so it shows this only when it trusts
    // the local CA (a tunnel to the name fails).
    if (tls_host_ == kSelfTestHost) {
      return SendAndClose(SimpleResponse(
          200,
          "Corvane Filter: this browser trusts the local CA; secure sites are "
          "filtered.\n",
          true));
    }
  } else if (parsed.form == TargetForm::kOrigin) {
    const std::string* host = FindHeader(request->headers, "Host");
    if (!host && request->version >= 11) {
      return SendAndClose(SimpleResponse(400, "Missing Host header.\n", true));
    }
    if (host && !NamesThisProxy(*host)) {
      return SendAndClose(SimpleResponse(
          421, "This is a proxy; its control panel answers only under its own address.\n",
          true));
    }
    request->url =
        "http://" +
        (host ? *host : FormatHostPort(state_->listen_host, state_->listen_port)) +
        parsed.path;
    panel = true;
  } else {
    request->url = request->target;
    // An absolute URL naming the proxy's own address asks for the panel too;
    // fetching it would make the proxy call itself.
    bool own_host =
        parsed.host == state_->listen_host || parsed.host == "localhost" ||
        (IsLoopbackAddress(parsed.host) && IsLoopbackAddress(state_->listen_host));
    panel = parsed.scheme == "http" && own_host && parsed.port == state_->listen_port;
  }
  parser_.reset();

  handling_ = true;
  state_->BeginRequest();
  auto self = shared_from_this();
  WorkerPool* pool = panel ? state_->panel_pool : state_->pool;
  bool queued = pool->TryPost(
      [self, request, traits, panel] { self->HandleOnWorker(request, traits, panel); });
  if (!queued) {
    handling_ = false;
    state_->EndRequest();
    return SendAndClose(SimpleResponse(503, "The proxy is busy.\n", true));
  }
  WatchClient();
}

void HttpConnection::WatchClient() {
  if (closed_ || watching_client_) return;
  watching_client_ = true;
  stream_.socket().async_wait(
      tcp::socket::wait_read, [self = shared_from_this()](boost::system::error_code ec) {
        self->watching_client_ = false;
        if (ec == net::error::operation_aborted || self->closed_ || !self->handling_)
          return;
        if (!ec) {
          // Readable: either the client closed its side (a peek reads nothing)
          // or it sent more (the next pipelined request, a TLS alert), which
          // stays for the next read; a connection that sends is not watched
          // further, as the wait would fire again at once.
          char byte;
          ssize_t n = ::recv(self->stream_.socket().native_handle(), &byte, 1,
                             MSG_PEEK | MSG_DONTWAIT);
          if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) return;
        }
        self->MarkCancelled();
      });
}

void HttpConnection::StopWatchingClient() {
  if (!watching_client_) return;
  boost::system::error_code ignored;
  stream_.socket().cancel(ignored);
}

void HttpConnection::MarkCancelled() {
  cancelled_.store(true, std::memory_order_release);
  std::function<void()> callback;
  {
    std::lock_guard<std::mutex> lock(cancel_mutex_);
    callback.swap(cancel_callback_);
  }
  if (callback) callback();
}

void HttpConnection::SetCancelCallback(std::function<void()> callback) {
  {
    std::lock_guard<std::mutex> lock(cancel_mutex_);
    cancel_callback_ = std::move(callback);
    if (!cancelled() || !cancel_callback_) return;
    callback.swap(cancel_callback_);
  }
  callback();
}

void HttpConnection::HandleOnWorker(std::shared_ptr<ProxyRequest> request,
                                    RequestTraits traits, bool panel) {
  ConnectionResponseWriter out(this, traits, *state_);
  bool failed = false;
  if (!cancelled()) {
    try {
      if (panel && state_->panel_handler) {
        state_->panel_handler->Handle(*request, out);
      } else if (!panel && state_->proxy_handler) {
        state_->proxy_handler->Handle(*request, out);
      }
    } catch (const std::exception& e) {
      failed = true;
      state_->Log("request handler failed on " + request->url + ": " + e.what());
    } catch (...) {
      failed = true;
      state_->Log("request handler failed on " + request->url);
    }
  }
  SetCancelCallback(nullptr);
  if (!cancelled()) out.Complete(panel, failed);
  bool keep_alive = out.keep_alive();
  net::post(stream_.get_executor(), [self = shared_from_this(), keep_alive] {
    self->OnResponseDone(keep_alive);
  });
  state_->EndRequest();
}

bool HttpConnection::WriteFromWorker(const std::vector<net::const_buffer>& buffers) {
  if (cancelled()) return false;
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  net::post(stream_.get_executor(), [self = shared_from_this(), &buffers, done] {
    if (self->closed_) {
      done->set_value(false);
      return;
    }
    self->stream_.expires_after(self->state_->options.write_timeout);
    self->WithStream([&](auto& stream) {
      net::async_write(stream, buffers, [self, done](beast::error_code ec, size_t) {
        if (ec) self->MarkCancelled();
        done->set_value(!ec);
      });
    });
  });
  return result.get();
}

void HttpConnection::OnResponseDone(bool keep_alive) {
  handling_ = false;
  ReleaseBody();
  StopWatchingClient();
  if (closed_) return;
  if (!keep_alive || close_after_response_ || state_->stopping.load()) {
    return LingerThenClose();
  }
  ReadRequest();
}

void HttpConnection::SendAndClose(std::string response) {
  if (closed_) return;
  server_response_ = std::move(response);
  stream_.expires_after(state_->options.write_timeout);
  WithStream([&](auto& stream) {
    net::async_write(stream, net::buffer(server_response_),
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) return self->CloseNow();
                       self->LingerThenClose();
                     });
  });
}

void HttpConnection::LingerThenClose() {
  if (closed_) return;
  if (tls_) {
    // Ends the secure session properly (the client learns the last response was
    // whole) and waits a short while for the client's own close.
    stream_.expires_after(kLingerTime);
    tls_->async_shutdown(
        [self = shared_from_this()](beast::error_code) { self->CloseNow(); });
    return;
  }
  boost::system::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.expires_after(kLingerTime);
  drain_buffer_.resize(16 * 1024);
  drained_ = 0;
  Drain();
}

void HttpConnection::Drain() {
  stream_.async_read_some(net::buffer(drain_buffer_),
                          [self = shared_from_this()](beast::error_code ec, size_t n) {
                            self->drained_ += n;
                            if (ec || self->drained_ > kLingerMaxBytes)
                              return self->CloseNow();
                            self->Drain();
                          });
}

void HttpConnection::CloseNow() {
  if (closed_) return;
  closed_ = true;
  ReleaseBody();
  MarkCancelled();
  boost::system::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream_.close();
  state_->Unregister(id_);
}

}  // namespace cvie::proxy
