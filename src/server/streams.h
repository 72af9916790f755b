#pragma once

// The server's side of LogStreams=ON: where the stream log meets the receive
// loop, the start-up and the stop. With LogStreams off none of these is
// called.

#include <cstdint>

#include "node/datagrams.h"
#include "server/dispatch.h"

namespace mirx {

struct server;

// Once the sockets are bound (at `bound_ms`) and the log server resolved,
// before the table is restored: sends RUN.
void start_streams(server& s, std::int64_t bound_ms);

// Around the dispatch of a datagram of `kind` from `sender_ip`: a header
// ends the stream in progress there before it is relayed; what was relayed
// (`d`, the datagram `data`) is then told to the stream log.
void stream_before_dispatch(server& s, datagram_kind kind, std::uint32_t sender_ip);
void stream_after_dispatch(server& s, const dispatched& d, const std::uint8_t* data,
                           std::uint32_t sender_ip);

// On every wake of the receive loop, io_lock held: ends silent streams; each
// heartbeat period sends HBT and then a slice of the node table.
void tick_streams(server& s);

// In the stop, io_lock held, before the sockets close: sends OFF.
void stop_streams(server& s);

}  // namespace mirx
