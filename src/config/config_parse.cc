// Configuration file reader: "[port]" sections of key = value lines, each
// section checked and turned into bridges when the next one starts.
#include "config/config.h"
#include "core/core.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>

// Held outside config_read so that an interrupted read (a fatal hook in a
// test or fuzz harness) can be cleaned up by config_reset.
static FILE *config_stream;
static bridge_definition config_section;

// The C locale's space class; the daemon never changes its locale, and the
// cast keeps bytes above 127 from being negative arguments to isspace.
static bool config_is_space(char c)
{
	return isspace(static_cast<unsigned char>(c)) != 0;
}

// The next significant line, trimmed, inside buf; null at the end of the
// file. fgets stops at an embedded NUL as far as strlen is concerned, so the
// rest of such a piece is simply not seen. A read error ends the file.
static char *config_next_line(FILE *f, char *buf)
{
	for (;;) {
		if (fgets(buf, config_line_size, f) == nullptr)
			return nullptr;
		config_line++;
		char *p = buf;
		while (config_is_space(*p))
			p++;
		if (*p == '#' || *p == '\0')
			continue;
		char *end = p + strlen(p);
		while (end > p && config_is_space(end[-1]))
			*--end = '\0';
		return p;
	}
}

static void config_cut_trailing_space(char *start, char *end)
{
	while (end > start && config_is_space(end[-1]))
		*--end = '\0';
}

uint32_t config_split_list(char *value, char *elements[config_max_list])
{
	uint32_t n = 0;
	elements[0] = value;
	for (char *p = value; *p != '\0'; p++) {
		if (*p != ',')
			continue;
		if (n + 1 >= config_max_list)
			log_fatal("%s line %u: Invalid list - elements exceed max allowed (%u)\n",
				  config_file, config_line, config_max_list);
		*p = '\0';
		config_cut_trailing_space(elements[n], p);
		if (elements[n][0] == '\0')
			log_fatal("%s line %u: Invalid list - empty element\n", config_file,
				  config_line);
		p++;
		while (config_is_space(*p))
			p++;
		if (*p == '\0')
			log_fatal("%s line %u: Invalid list - empty element\n", config_file,
				  config_line);
		elements[++n] = p;
		// The loop's p++ would skip this element's first character, which
		// may itself be a ",".
		p--;
	}
	return n + 1;
}

// All digits, 1 to 65535; 0 for anything else. Accumulation stops as soon
// as the value is out of range, so no digit string can overflow.
static uint16_t config_parse_port(const char *text)
{
	if (*text == '\0')
		return 0;
	uint32_t value = 0;
	for (const char *p = text; *p != '\0'; p++) {
		if (*p < '0' || *p > '9')
			return 0;
		value = value * 10 + static_cast<uint32_t>(*p - '0');
		if (value > 65535)
			return 0;
	}
	return static_cast<uint16_t>(value);
}

// A "[" port "]" header; returns the port or ends the process.
static uint16_t config_parse_header(char *line)
{
	if (line[0] != '[')
		log_fatal("%s line %u: Syntax error\n", config_file, config_line);
	char *p = line + 1;
	while (config_is_space(*p))
		p++;
	size_t len = strlen(p);
	if (len == 0 || p[len - 1] != ']')
		log_fatal("%s line %u: Syntax error\n", config_file, config_line);
	p[len - 1] = '\0';
	config_cut_trailing_space(p, p + len - 1);
	uint16_t port = config_parse_port(p);
	if (port == 0)
		log_fatal("%s line %u: Invalid port number\n", config_file, config_line);
	return port;
}

static void config_ipv4_group(bridge_definition *def, const char *value)
{
	if (inet_pton(AF_INET, value, def->ipv4_group) != 1)
		log_fatal("%s line %u: Invalid IPv4 address \"%s\"\n", config_file, config_line,
			  value);
	if (def->ipv4_group[0] < 224 || def->ipv4_group[0] > 239)
		log_fatal("%s line %u: Invalid IPv4 multicast group address \"%s\"\n",
			  config_file, config_line, value);
	// RFC 5771: 224.0.0.0/24 is never forwarded by routers.
	if (def->ipv4_group[0] == 224 && def->ipv4_group[1] == 0 && def->ipv4_group[2] == 0)
		log_fatal("%s line %u: Multicast group address \"%s\" is link local "
			  "(224.0.0.0/24) and cannot be bridged\n",
			  config_file, config_line, value);
	def->has_ipv4_group = 1;
}

static void config_ipv6_group(bridge_definition *def, const char *value)
{
	if (inet_pton(AF_INET6, value, def->ipv6_group) != 1)
		log_fatal("%s line %u: Invalid IPv6 address \"%s\"\n", config_file, config_line,
			  value);
	if (def->ipv6_group[0] != 0xff)
		log_fatal("%s line %u: Invalid IPv6 multicast group address \"%s\"\n",
			  config_file, config_line, value);
	// Only the link-local scope with the flags all clear (ff02::/16) is
	// refused; ff12:: and other scopes may be bridged.
	if (def->ipv6_group[1] == 0x02)
		log_fatal("%s line %u: Multicast group address \"%s\" is link local "
			  "(ff02::/16) and cannot be bridged\n",
			  config_file, config_line, value);
	def->has_ipv6_group = 1;
}

static void config_interface_list(bridge_definition *def, char *value, bool inbound,
				  bool is_static)
{
	static char *elements[config_max_list];
	uint32_t n = config_split_list(value, elements);
	for (uint32_t i = 0; i < n; i++) {
		interface_definition *e = config_find_interface(def, elements[i]);
		uint32_t *mode = inbound ? &e->inbound_mode : &e->outbound_mode;
		if (is_static)
			*mode = mode_static;
		else if (*mode != mode_static)
			*mode = mode_dynamic;
	}
}

static void config_assignment(bridge_definition *def, char *line)
{
	char *eq = strchr(line, '=');
	if (eq == nullptr)
		log_fatal("%s line %u: Syntax error - missing assignment\n", config_file,
			  config_line);
	*eq = '\0';
	config_cut_trailing_space(line, eq);
	if (line[0] == '\0')
		log_fatal("%s line %u: Syntax error - missing key\n", config_file, config_line);
	char *value = eq + 1;
	while (config_is_space(*value))
		value++;
	if (*value == '\0')
		log_fatal("%s line %u: Syntax error - missing value\n", config_file, config_line);

	if (strcmp(line, "ipv4-address") == 0)
		config_ipv4_group(def, value);
	else if (strcmp(line, "ipv6-address") == 0)
		config_ipv6_group(def, value);
	else if (strcmp(line, "inbound-interfaces") == 0)
		config_interface_list(def, value, true, false);
	else if (strcmp(line, "outbound-interfaces") == 0)
		config_interface_list(def, value, false, false);
	else if (strcmp(line, "static-inbound-interfaces") == 0)
		config_interface_list(def, value, true, true);
	else if (strcmp(line, "static-outbound-interfaces") == 0)
		config_interface_list(def, value, false, true);
	else
		log_fatal("%s line %u: Unknown interface parameter \"%s\"\n", config_file,
			  config_line, line);
}

// The section record is reused; of its name copies only those inside the
// bridges just made live on: an interface without an address of a family
// the section bridges is in no bridge.
static void config_release_unused_names(bridge_definition *def)
{
	for (uint32_t i = 0; i < def->interface_count; i++) {
		interface_definition *e = &def->interfaces[i];
		if (!(def->has_ipv4_group && e->has_ipv4) && !(def->has_ipv6_group && e->has_ipv6))
			free(e->name);
		e->name = nullptr;
	}
}

void config_read()
{
	static char buf[config_line_size];

	config_line = 0;
	config_stream = fopen(config_file, "r");
	if (config_stream == nullptr)
		log_fatal("Unable to open config file \"%s\"\n", config_file);
	if (getifaddrs(&interface_address_list) != 0)
		log_fatal("getifaddrs failed: %s\n", strerror(errno));

	char *line = config_next_line(config_stream, buf);
	while (line != nullptr) {
		bridge_definition *def = &config_section;
		uint16_t port = config_parse_header(line);
		memset(def, 0, sizeof *def);
		def->port = port;
		while ((line = config_next_line(config_stream, buf)) != nullptr && line[0] != '[')
			config_assignment(def, line);
		config_end_section(def);
		config_release_unused_names(def);
	}

	if (bridge_count == 0)
		log_fatal("%s line %u: No port bridges defined\n", config_file, config_line);
	freeifaddrs(interface_address_list);
	interface_address_list = nullptr;
	fclose(config_stream);
	config_stream = nullptr;
}

static bool config_bridge_has_name(const bridge *b, const char *name)
{
	for (uint32_t i = 0; i < b->interface_count; i++)
		if (b->interfaces[i].name == name)
			return true;
	return false;
}

void config_reset()
{
	if (config_stream != nullptr)
		fclose(config_stream);
	config_stream = nullptr;
	if (interface_address_list != nullptr)
		freeifaddrs(interface_address_list);
	interface_address_list = nullptr;
	// Name copies are shared only by the two bridges of one section, which
	// stand next to each other; an unclosed section may share with the last.
	for (uint32_t i = 0; i < bridge_count; i++) {
		for (uint32_t j = 0; j < bridges[i].interface_count; j++)
			if (i == 0 || !config_bridge_has_name(&bridges[i - 1], bridges[i].interfaces[j].name))
				free(const_cast<char *>(bridges[i].interfaces[j].name));
	}
	for (uint32_t j = 0; j < config_section.interface_count; j++)
		if (bridge_count == 0 ||
		    !config_bridge_has_name(&bridges[bridge_count - 1], config_section.interfaces[j].name))
			free(config_section.interfaces[j].name);
	for (uint32_t i = 0; i < bridge_count; i++)
		free(bridges[i].interfaces);
	free(bridges);
	bridges = nullptr;
	bridge_count = 0;
	bridge_capacity = 0;
	config_line = 0;
	memset(&config_section, 0, sizeof config_section);
}
