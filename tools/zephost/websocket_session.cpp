#include "websocket_session.h"

namespace zephost {

namespace {

// Past its part of the budget, a WebSocket message is refused with "try
// again later"; a message is read in parts, so none is held whole first.
constexpr std::size_t kMessagePart = 64 * 1024;

// One WebSocket: a message at a time, its replies in order.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(HostServer::State& state, std::shared_ptr<beast::tcp_stream> stream,
                   std::unique_ptr<ConnectionSlot> slot, std::string user, std::unique_ptr<ShareSlot> userShare,
                   std::unique_ptr<ShareSlot> originShare)
      : state_(state),
        stream_(std::move(stream)),
        ws_(std::move(*stream_)),
        slot_(std::move(slot)),
        user_(std::move(user)),
        userShare_(std::move(userShare)),
        originShare_(std::move(originShare)),
        held_(std::make_shared<HeldBytes>(state, userShare_->Key())) {}

  void Run(http::request<http::string_body> request) {
    url_ = std::string(request.target());
    origin_ = std::string(request[http::field::origin]);
    socket_ = static_cast<uint32_t>(beast::get_lowest_layer(ws_).socket().native_handle());
    ws_.read_message_max(state_.messageLimit);
    // An idle WebSocket is pinged; one whose page has gone is closed.
    auto timeout = websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeout.keep_alive_pings = true;
    ws_.set_option(timeout);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->Read();
    });
  }

 private:
  void Read() {
    // A large message's buffer is not kept for the next one.
    buffer_.consume(buffer_.size());
    buffer_.shrink_to_fit();
    held_->Release();
    ReadPart();
  }

  void ReadPart() {
    ws_.async_read_some(buffer_, kMessagePart, [self = shared_from_this()](beast::error_code ec, std::size_t read) {
      if (ec || self->state_.stopping) return;
      if (!self->held_->Take(static_cast<int64_t>(read))) {
        self->ws_.async_close(websocket::close_reason(websocket::close_code::try_again_later),
                              [self](beast::error_code) {});
        return;
      }
      if (!self->ws_.is_message_done()) return self->ReadPart();
      auto message = std::make_shared<std::string>(beast::buffers_to_string(self->buffer_.data()));
      self->buffer_.consume(self->buffer_.size());
      self->buffer_.shrink_to_fit();
      self->state_.Post(self->user_, self->origin_, *message, [self, message] {
        auto replies = std::make_shared<std::vector<std::string>>(
            self->state_.Distribute(self->url_, *message, self->origin_, self->socket_));
        message->clear();
        message->shrink_to_fit();
        // The message is handled: its bytes are the budget's again before
        // the page can send the next (nothing else touches them meanwhile).
        // Its replies, which may be far larger, hold the budget until sent.
        self->held_->Release();
        size_t bytes = 0;
        for (const std::string& reply : *replies) bytes += reply.size();
        if (!self->held_->Take(static_cast<int64_t>(bytes))) {
          replies->clear();
          asio::post(self->ws_.get_executor(), [self] {
            self->ws_.async_close(websocket::close_reason(websocket::close_code::try_again_later, kReplyOverBudget),
                                  [self](beast::error_code) {});
          });
          return;
        }
        asio::post(self->ws_.get_executor(), [self, replies] { self->Write(replies, 0); });
      });
    });
  }

  void Write(std::shared_ptr<std::vector<std::string>> replies, std::size_t next) {
    if (next == replies->size()) return Read();
    ws_.text(true);
    ws_.async_write(asio::buffer((*replies)[next]),
                    [self = shared_from_this(), replies, next](beast::error_code ec, std::size_t) {
                      if (!ec) self->Write(replies, next + 1);
                    });
  }

  HostServer::State& state_;
  std::shared_ptr<beast::tcp_stream> stream_;
  websocket::stream<beast::tcp_stream> ws_;
  std::unique_ptr<ConnectionSlot> slot_;
  // An idle WebSocket still counts in its user's share.
  const std::string user_;
  std::unique_ptr<ShareSlot> userShare_, originShare_;
  std::shared_ptr<HeldBytes> held_;
  beast::flat_buffer buffer_;
  std::string url_, origin_;
  uint32_t socket_ = 0;
};

}  // namespace

void StartWebSocketSession(HostServer::State& state, std::shared_ptr<beast::tcp_stream> stream,
                           std::unique_ptr<ConnectionSlot> slot, std::string user, std::unique_ptr<ShareSlot> userShare,
                           std::unique_ptr<ShareSlot> originShare, http::request<http::string_body> request) {
  std::make_shared<WebSocketSession>(state, std::move(stream), std::move(slot), std::move(user), std::move(userShare),
                                     std::move(originShare))
      ->Run(std::move(request));
}

}  // namespace zephost
