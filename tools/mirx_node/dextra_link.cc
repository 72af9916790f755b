#include "mirx_node/dextra_link.h"

#include <cstdio>
#include <cstring>

#include "dextra/dsvt.h"

namespace mirx::node_tool {
namespace {

field field_of(const std::uint8_t* p) {
  field f;
  std::memcpy(f.data(), p, f.size());
  return f;
}

}  // namespace

dextra_client::dextra_client(const session& s, const options& o) : s_(s), o_(o) {
  if (!o.reflector.empty()) {
    reflector_.emplace();
    dextra::put_call(reflector_->data(), o.reflector);
  }
}

std::string dextra_client::target() const {
  return std::string("to module ") + o_.module + " of " + s_.server_text;
}

void dextra_client::send_request(char asked) const {
  std::uint8_t request[dextra::ctl::request_size];
  // The client's own module is the one it asks for: a hotspot on B links B.
  dextra::make_request(request, o_.call1, o_.module, asked);
  s_.send(request, sizeof request);
}

int dextra_client::link() {
  answer_.reset();
  send_request(o_.module);
  const auto deadline = clock::now() + std::chrono::milliseconds(o_.timeout_ms);
  for (auto now = clock::now(); !answer_ && now < deadline; now = clock::now()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    if (const auto d = s_.endpoint.receive(static_cast<int>(left.count()))) take(*d, clock::now());
  }
  if (!answer_)
    throw tool_error("no link answer from " + s_.server_text + " within " +
                     seconds_text(o_.timeout_ms));
  last_heard_ = last_sent_ = clock::now();
  return refused_ ? exit_not_delivered : exit_ok;
}

void dextra_client::unlink() const {
  send_request(' ');
}

void dextra_client::tick(clock::time_point now) {
  if (now - last_sent_ >= keepalive_every) {
    std::uint8_t keepalive[dextra::ctl::keepalive_size];
    dextra::make_keepalive(keepalive, o_.call1);
    s_.send(keepalive, sizeof keepalive);
    last_sent_ = now;
  }
  if (now - last_heard_ >= silence_limit) {
    report("no word from " + s_.server_text + " for 30 s: linking again");
    answer_.reset();
    send_request(o_.module);
    last_heard_ = now;  // the next try after as long again
  }
}

std::optional<dextra_client::arrival> dextra_client::take(const nodes::datagram& d,
                                                          clock::time_point now) {
  const std::uint8_t* p = d.bytes.data();
  const std::size_t n = d.bytes.size();
  if (d.from_ip != s_.server_ip || d.from_port != s_.in_port) {
    report("other datagram: " + std::to_string(n) + " bytes from " +
           nodes::dotted(d.from_ip, d.from_port));
    return std::nullopt;
  }
  last_heard_ = now;
  const std::string linked = "linked \"" + o_.call1 + "\" " + target() + " from port " +
                             std::to_string(s_.endpoint.port()) + ": ";
  switch (dextra::kind_of(p, n)) {
    case dextra::kind::answer_ack:
      answer_ = "ACK";
      refused_ = false;
      report(linked + "ACK");
      return std::nullopt;
    case dextra::kind::answer_nak:
      answer_ = "NAK";
      refused_ = true;
      report("link of \"" + o_.call1 + "\" " + target() + " refused: NAK");
      return std::nullopt;
    case dextra::kind::link:
      // A reflector's answer with its own call sign and the two modules.
      if (o_.reflector.empty()) reflector_ = field_of(p);
      answer_ = "accepted by " + quoted(field_of(p));
      refused_ = false;
      report(linked + *answer_);
      return std::nullopt;
    case dextra::kind::keepalive:
      if (keepalives_++ == 0 && o_.reflector.empty())
        report("the reflector keeps alive as " + quoted(field_of(p)));
      if (o_.reflector.empty()) reflector_ = field_of(p);
      return std::nullopt;
    case dextra::kind::unlink:
      // Ten spaces: the reflector dropped this client. Otherwise some
      // reflectors echo an unlink request as its answer.
      report(std::memcmp(p, "          ", 10) == 0
                 ? "dropped by the reflector " + s_.server_text
                 : "unlink of " + quoted(field_of(p)) + " from " + s_.server_text);
      return std::nullopt;
    case dextra::kind::disconnected:
      report("DISCONNECTED from " + s_.server_text);
      return std::nullopt;
    case dextra::kind::header:
    case dextra::kind::voice:
      break;
    default:
      report("other datagram: " + std::to_string(n) + " bytes from " + s_.server_text);
      return std::nullopt;
  }
  arrival a{d, n == dextra::dsvt::header_size, false};
  const stream_id id = {p[dextra::dsvt::stream_id], p[dextra::dsvt::stream_id + 1]};
  if (a.header) {
    a.copy = last_id_ == id;
    last_id_ = id;
    dextra::frame_as_node(a.node.bytes.data(), prefix::kind_header, 0);
  } else {
    dextra::frame_as_node(a.node.bytes.data(), prefix::kind_voice, p[dextra::dsvt::sequence]);
  }
  return a;
}

std::optional<field> dextra_client::rpt2() const {
  if (!reflector_) return std::nullopt;
  field f = *reflector_;
  f[dextra::call_size - 1] = static_cast<std::uint8_t>(o_.module);
  return f;
}

}  // namespace mirx::node_tool
