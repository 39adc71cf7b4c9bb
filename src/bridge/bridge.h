// Bridge forwarding: one UDP socket per bridge interface, one forwarding
// thread per bridge, and the switching of interface directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "config/config.h"

struct evm;

void bridge_open_sockets();
void bridge_start_threads();

void bridge_activate_outbound(bridge_interface *x);
void bridge_deactivate_outbound(bridge_interface *x);
void bridge_activate_inbound(bridge_interface *i);
const char *interface_mode_name(uint32_t mode);

// Per forwarding thread, allocated once: every datagram is received into
// these buffers and sent from them, nothing is allocated per datagram.
struct bridge_thread_ctx {
	bridge *owner; // the thread's bridge
	evm *manager; // its event manager, touched by this thread only
	alignas(sockaddr_storage) uint8_t source[128];
	uint8_t buffer[65535];
	msghdr msg;
	iovec iov;
	alignas(cmsghdr) uint8_t control[272];
};

extern pthread_key_t bridge_thread_key;

void *bridge_thread_main(void *ctx);
void bridge_receive(void *bridge_interface_arg);

// The pieces of bridge_receive, for the tests: prepare a context's message
// header, and forward the datagram of `length` bytes that ctx->msg holds,
// received on rx's socket.
void bridge_thread_ctx_init(bridge_thread_ctx *ctx, bridge *b);
void bridge_forward(bridge_thread_ctx *ctx, bridge_interface *rx, size_t length);
