// Forwarding threads: one per bridge, each with its own event manager over
// the bridge's sockets; a datagram that arrives on a receiving interface is
// sent unchanged out of every other interface that is active for forwarding.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include "bridge/bridge.h"
#include "bridge/bridge_os.h"
#include "core/core.h"
#include "evm/evm.h"

pthread_key_t bridge_thread_key;

static bool is_set(const std::atomic<uint32_t> &flag)
{
	return flag.load(std::memory_order_relaxed) != 0;
}

void bridge_thread_ctx_init(bridge_thread_ctx *ctx, bridge *b)
{
	ctx->owner = b;
	ctx->iov.iov_base = ctx->buffer;
	ctx->iov.iov_len = sizeof ctx->buffer;
	ctx->msg.msg_name = ctx->source;
	ctx->msg.msg_namelen = sizeof ctx->source;
	ctx->msg.msg_iov = &ctx->iov;
	ctx->msg.msg_iovlen = 1;
	ctx->msg.msg_control = ctx->control;
	ctx->msg.msg_controllen = sizeof ctx->control;
	ctx->msg.msg_flags = 0;
}

void bridge_start_threads()
{
	int err = pthread_key_create(&bridge_thread_key, nullptr);
	if (err != 0)
		log_fatal("pthread_key_create: %s\n", strerror(err));
	for (uint32_t n = 0; n < bridge_count; n++) {
		bridge *b = &bridges[n];
		auto *ctx = static_cast<bridge_thread_ctx *>(calloc(1, sizeof(bridge_thread_ctx)));
		if (ctx == nullptr)
			log_fatal("Cannot allocate memory: %s\n", strerror(errno));
		bridge_thread_ctx_init(ctx, b);
		ctx->manager = evm_create((int)b->interface_count, 0);
		if (ctx->manager == nullptr)
			log_fatal("Cannot create event manager\n");
		for (uint32_t k = 0; k < b->interface_count; k++)
			evm_add_fd(ctx->manager, b->interfaces[k].socket, bridge_receive,
				   &b->interfaces[k]);
		pthread_t thread;
		err = pthread_create(&thread, nullptr, bridge_thread_main, ctx);
		if (err != 0)
			log_fatal("cannot create bridge thread: %s\n", strerror(err));
	}
}

void *bridge_thread_main(void *arg)
{
	auto *ctx = static_cast<bridge_thread_ctx *>(arg);
	int err = pthread_setspecific(bridge_thread_key, ctx);
	if (err != 0)
		log_fatal("pthread_setspecific: %s\n", strerror(err));
	evm_run(ctx->manager);
}

// The interface of b on which a datagram with this arrival index came in:
// the receiving one when it matches, else the first with that index.
static bridge_interface *arrival_interface(bridge *b, bridge_interface *rx, unsigned index)
{
	if (index == 0)
		return nullptr;
	if (index == rx->ifindex)
		return rx;
	for (uint32_t k = 0; k < b->interface_count; k++)
		if (b->interfaces[k].ifindex == index)
			return &b->interfaces[k];
	return nullptr;
}

void bridge_forward(bridge_thread_ctx *ctx, bridge_interface *rx, size_t length)
{
	bridge *b = ctx->owner;
	unsigned index = bridge_os_arrival_index(&ctx->msg, b->family);
	bridge_interface *in = arrival_interface(b, rx, index);
	if (in == nullptr || !is_set(in->inbound_active))
		return;

	char sender[INET6_ADDRSTRLEN] = "";
	bool verbose = debug_level >= log_level_forward;
	if (verbose) {
		const sockaddr *sa = reinterpret_cast<const sockaddr *>(ctx->source);
		if (sa->sa_family == AF_INET)
			inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr,
				  sender, sizeof sender);
		else if (sa->sa_family == AF_INET6)
			inet_ntop(AF_INET6,
				  &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, sender,
				  sizeof sender);
	}

	for (uint32_t k = 0; k < b->interface_count; k++) {
		bridge_interface *out = &b->interfaces[k];
		if (out == in || !is_set(out->outbound_active))
			continue;
		if (b->family == AF_INET6)
			reinterpret_cast<sockaddr_in6 *>(&b->destination)->sin6_scope_id =
				out->ifindex;
		ssize_t sent = sendto(out->socket, ctx->buffer, length, 0,
				      reinterpret_cast<const sockaddr *>(&b->destination),
				      b->destination_length);
		if (sent < 0) {
			// A link that went down loses its copies quietly.
			if (!bridge_os_link_down(errno))
				log_warn("Bridge(%s/%u): sendto error on interface %s: %s\n",
					 bridge_family_name(b), (unsigned)b->port, out->name,
					 strerror(errno));
			continue;
		}
		if (verbose)
			log_warn("Bridge(%s/%u): Forwarded %lu bytes from %s on %s to %s\n",
				 bridge_family_name(b), (unsigned)b->port, (unsigned long)length,
				 sender, in->name, out->name);
	}
}

void bridge_receive(void *arg)
{
	auto *rx = static_cast<bridge_interface *>(arg);
	auto *ctx = static_cast<bridge_thread_ctx *>(pthread_getspecific(bridge_thread_key));
	if (ctx == nullptr)
		log_fatal("pthread_getspecific failed\n");
	bridge *b = &bridges[rx->bridge_index];
	ctx->msg.msg_namelen = sizeof ctx->source;
	ctx->msg.msg_controllen = sizeof ctx->control;
	ctx->msg.msg_flags = 0;
	ssize_t got = recvmsg(rx->socket, &ctx->msg, 0);
	if (got < 0) {
		if (errno != EAGAIN && errno != EWOULDBLOCK)
			log_warn("Bridge(%s/%u): recvmsg error on interface %s: %s\n",
				 bridge_family_name(b), (unsigned)b->port, rx->name,
				 strerror(errno));
		return;
	}
	bridge_forward(ctx, rx, (size_t)got);
}
