// libFuzzer target: arbitrary bytes as the configuration file. Every input
// must end in a documented message (caught here) or a bridge table, which
// is then listed. Run it inside a network namespace with a few interfaces
// named em0, em1 and em2 (see the seeds) to reach the bridge building too.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "config/config.h"
#include "core/core.h"

static std::string fuzz_path;
static jmp_buf fuzz_jump;

static void fuzz_fatal() { longjmp(fuzz_jump, 1); }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	char name[] = "/tmp/config_fuzz_XXXXXX";
	int fd = mkstemp(name);
	if (fd < 0)
		abort();
	close(fd);
	fuzz_path = name;
	config_file = fuzz_path.c_str();
	log_fatal_hook = fuzz_fatal;
	atexit([] { unlink(fuzz_path.c_str()); });
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FILE *f = fopen(fuzz_path.c_str(), "wb");
	if (f == nullptr)
		abort();
	if (size > 0 && fwrite(data, 1, size, f) != size)
		abort();
	fclose(f);

	if (setjmp(fuzz_jump) == 0) {
		config_read();
		// A successful read leaves at least one complete bridge.
		if (bridge_count == 0)
			abort();
		for (uint32_t i = 0; i < bridge_count; i++)
			if (bridges[i].interface_count < 2)
				abort();
		config_dump();
	}
	config_reset();
	return 0;
}
