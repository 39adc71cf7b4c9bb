// The configuration reader: file text in, the exact fatal message out.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "config/config.h"
#include "core/core.h"

namespace {

// Names no system has, so that a message about them proves that the
// reader got as far as the interface lookup.
const char *const missing = "nx0";

std::string write_temp(const std::string &text)
{
	static int serial;
	std::string path = testing::TempDir() + "config_parse_" + std::to_string(getpid()) +
			   "_" + std::to_string(++serial) + ".conf";
	FILE *f = fopen(path.c_str(), "wb");
	if (f == nullptr)
		return path;
	fwrite(text.data(), 1, text.size(), f);
	fclose(f);
	return path;
}

std::string repeat(const std::string &s, size_t n, const char *sep = "")
{
	std::string out;
	for (size_t i = 0; i < n; i++)
		out += (i ? sep : "") + s;
	return out;
}

// line < 0: the message carries no file name and line number.
struct parse_case {
	const char *what;
	std::string text;
	int line;
	std::string message;
};

void PrintTo(const parse_case &c, std::ostream *os) { *os << c.what; }

class ConfigParseError : public testing::TestWithParam<parse_case> {};

TEST_P(ConfigParseError, EndsWithExactMessage)
{
	const parse_case &c = GetParam();
	std::string path = write_temp(c.text);
	config_file = path.c_str();
	std::string expected = c.line < 0 ? c.message
					  : path + " line " + std::to_string(c.line) + ": " + c.message;
	EXPECT_EXIT(config_read(), testing::ExitedWithCode(1),
		    testing::Matcher<const std::string &>(expected));
	unlink(path.c_str());
}

const std::string no_bridges = "No port bridges defined\n";
const std::string syntax = "Syntax error\n";
const std::string bad_port = "Invalid port number\n";
const std::string empty_element = "Invalid list - empty element\n";
const std::string nx_missing = "Interface \"nx0\" does not exist\n";
std::string no_group(int port) { return "Bridge " + std::to_string(port) + " does not have a multicast group address\n"; }
std::string no_inbound(int port) { return "Bridge " + std::to_string(port) + " does not have any inbound interfaces\n"; }

const parse_case file_cases[] = {
	{"empty file", "", 0, no_bridges},
	{"only comments and blanks", "# one\n\n   \n\t# four\n\f\n", 5, no_bridges},
	{"no final newline", "# one\n#two", 2, no_bridges},
	{"assignment before any header", "\nipv4-address = 239.1.1.1\n", 2, syntax},
	{"comment after header", "[5000] #web\n", 1, syntax},
	{"unclosed header", "[5000\n", 1, syntax},
	{"lone bracket", "[\n", 1, syntax},
	{"bracket not last", "[5000]x\n", 1, syntax},
	{"blanks inside brackets", "[ 5000 ]\n", -1, no_group(5000)},
	{"tabs inside brackets", "\t[\t5000\t]\t\n", -1, no_group(5000)},
	{"highest port", "[65535]\n", -1, no_group(65535)},
	{"lowest port", "[1]\n", -1, no_group(1)},
	{"empty brackets", "[]\n", 1, bad_port},
	{"blank brackets", "[  ]\n", 1, bad_port},
	{"blank in number", "[50 00]\n", 1, bad_port},
	{"port zero", "[0]\n", 1, bad_port},
	{"port too large", "[65536]\n", 1, bad_port},
	{"port beyond any integer", "[99999999999999999999999]\n", 1, bad_port},
	{"leading zeros wrap nothing", "[00000000000000000000080]\n", -1, no_group(80)},
	{"signed port", "[+80]\n", 1, bad_port},
	{"negative port", "[-1]\n", 1, bad_port},
	{"hex port", "[0x50]\n", 1, bad_port},
	{"CRLF line ends", "[1]\r\nfoo\r\n", 2, "Syntax error - missing assignment\n"},
	{"NUL ends the line", std::string("[7]\0junk\n", 9), -1, no_group(7)},
	{"next header closes the section", "[1]\n[2]\n", -1, no_group(1)},
	{"later section error after an earlier close", "[1]\nipv4-address=239.1.1.1\n[2]\n", -1,
	 no_inbound(1)},
	{"lines counted across comments", "# c\n\n[1]\n  # x\nbogus\n", 5,
	 "Syntax error - missing assignment\n"},
};
INSTANTIATE_TEST_SUITE_P(File, ConfigParseError, testing::ValuesIn(file_cases));

const parse_case assignment_cases[] = {
	{"only equals", "[1]\n=\n", 2, "Syntax error - missing key\n"},
	{"equals then value", "[1]\n  = x\n", 2, "Syntax error - missing key\n"},
	{"no equals", "[1]\nfoo\n", 2, "Syntax error - missing assignment\n"},
	{"no value, unknown key", "[1]\nfoo =\n", 2, "Syntax error - missing value\n"},
	{"unknown key", "[1]\nfoo = bar\n", 2, "Unknown interface parameter \"foo\"\n"},
	{"key with capitals", "[1]\nInbound-Interfaces = nx0\n", 2,
	 "Unknown interface parameter \"Inbound-Interfaces\"\n"},
	{"key inner blank kept", "[1]\nipv4 -address = 239.1.1.1\n", 2,
	 "Unknown interface parameter \"ipv4 -address\"\n"},
	{"value holds an equals", "[1]\nipv4-address = = 239.1.1.1\n", 2,
	 "Invalid IPv4 address \"= 239.1.1.1\"\n"},
	{"hash inside a value", "[1]\nipv4-address = 239.1.1.1 #group\n", 2,
	 "Invalid IPv4 address \"239.1.1.1 #group\"\n"},
	{"not an IPv4 address", "[1]\nipv4-address = 239.1.1\n", 2,
	 "Invalid IPv4 address \"239.1.1\"\n"},
	{"unicast IPv4", "[1]\nipv4-address = 10.0.0.1\n", 2,
	 "Invalid IPv4 multicast group address \"10.0.0.1\"\n"},
	{"above multicast IPv4", "[1]\nipv4-address = 240.0.0.1\n", 2,
	 "Invalid IPv4 multicast group address \"240.0.0.1\"\n"},
	{"link-local IPv4 group", "[1]\nipv4-address = 224.0.0.251\n", 2,
	 "Multicast group address \"224.0.0.251\" is link local (224.0.0.0/24) and cannot be "
	 "bridged\n"},
	{"IPv4 groups accepted, last kept",
	 "[1]\nipv4-address = 224.0.1.1\nipv4-address\t=\t239.255.255.255\n", -1, no_inbound(1)},
	{"IPv4 text for IPv6", "[1]\nipv6-address = 239.1.1.1\n", 2,
	 "Invalid IPv6 address \"239.1.1.1\"\n"},
	{"IPv6 with scope suffix", "[1]\nipv6-address = ff05::1%lo\n", 2,
	 "Invalid IPv6 address \"ff05::1%lo\"\n"},
	{"unicast IPv6", "[1]\nipv6-address = fe80::1\n", 2,
	 "Invalid IPv6 multicast group address \"fe80::1\"\n"},
	{"link-local IPv6 group", "[1]\nipv6-address = ff02::fb\n", 2,
	 "Multicast group address \"ff02::fb\" is link local (ff02::/16) and cannot be bridged\n"},
	{"other IPv6 scopes accepted",
	 "[1]\nipv6-address = ff05::fb\nipv6-address = ff12::1\nipv6-address = ff01::1\n", -1,
	 no_inbound(1)},
	{"group error comes first", "[1]\nipv4-address = 224.0.0.1\ninbound-interfaces = nx0\n", 2,
	 "Multicast group address \"224.0.0.1\" is link local (224.0.0.0/24) and cannot be "
	 "bridged\n"},
};
INSTANTIATE_TEST_SUITE_P(Assignment, ConfigParseError, testing::ValuesIn(assignment_cases));

const parse_case list_cases[] = {
	{"double comma", "[1]\ninbound-interfaces = em0,,em1\n", 2, empty_element},
	{"blank element", "[1]\ninbound-interfaces = em0, \t ,em1\n", 2, empty_element},
	{"trailing comma", "[1]\ninbound-interfaces = em0,\n", 2, empty_element},
	{"trailing comma and blanks", "[1]\ninbound-interfaces = em0,   \n", 2, empty_element},
	{"leading comma", "[1]\ninbound-interfaces = ,em0\n", 2, empty_element},
	{"only a comma", "[1]\noutbound-interfaces = ,\n", 2, empty_element},
	{"unknown interface", "[1]\nstatic-inbound-interfaces = nx0\n", 2, nx_missing},
	{"blanks around elements", "[1]\nstatic-outbound-interfaces =   nx0 , em1  \n", 2,
	 nx_missing},
	{"over-long interface name",
	 "[1]\ninbound-interfaces = " + std::string(300, 'n') + "\n", 2,
	 "Interface \"" + std::string(300, 'n') + "\" does not exist\n"},
	{"1024 elements", "[1]\ninbound-interfaces = " + repeat(missing, 1024, ",") + "\n", 2,
	 nx_missing},
	{"1025 elements", "[1]\ninbound-interfaces = " + repeat(missing, 1025, ",") + "\n", 2,
	 "Invalid list - elements exceed max allowed (1024)\n"},
	{"1024 elements and a trailing comma",
	 "[1]\ninbound-interfaces = " + repeat(missing, 1024, ",") + ",\n", 2,
	 "Invalid list - elements exceed max allowed (1024)\n"},
};
INSTANTIATE_TEST_SUITE_P(List, ConfigParseError, testing::ValuesIn(list_cases));

// fgets reads at most 16383 characters: every piece counts as a line.
const parse_case long_line_cases[] = {
	{"16383 with line end is one line",
	 "[1]\n#" + std::string(16381, 'x') + "\nbogus\n", 3,
	 "Syntax error - missing assignment\n"},
	{"16383 before line end: empty second piece counted",
	 "[1]\n#" + std::string(16382, 'x') + "\nbogus\n", 4,
	 "Syntax error - missing assignment\n"},
	{"tail of a long comment is a line of its own",
	 "[1]\n#" + std::string(16382, 'x') + "=y\n", 3, "Syntax error - missing key\n"},
	{"long value split inside the list",
	 "[1]\ninbound-interfaces = " + std::string(16400, ',') + "\n", 2,
	 "Invalid list - empty element\n"},
};
INSTANTIATE_TEST_SUITE_P(LongLine, ConfigParseError, testing::ValuesIn(long_line_cases));

TEST(ConfigRead, UnopenableFile)
{
	config_file = "/nonexistent/dir/ostrel.conf";
	EXPECT_EXIT(config_read(), testing::ExitedWithCode(1),
		    testing::Matcher<const std::string &>(
			    "Unable to open config file \"/nonexistent/dir/ostrel.conf\"\n"));
}

// A directory opens but cannot be read: the read error is the end of the file.
TEST(ConfigRead, ReadErrorIsEndOfFile)
{
	std::string dir = testing::TempDir();
	config_file = dir.c_str();
	EXPECT_EXIT(config_read(), testing::ExitedWithCode(1),
		    testing::Matcher<const std::string &>(dir + " line 0: No port bridges defined\n"));
}

std::vector<std::string> split(std::string text)
{
	char *elements[config_max_list];
	uint32_t n = config_split_list(text.data(), elements);
	return std::vector<std::string>(elements, elements + n);
}

TEST(ConfigSplitList, CutsElementsInPlace)
{
	using v = std::vector<std::string>;
	EXPECT_EQ(split("em0"), v{"em0"});
	EXPECT_EQ(split("em0 , em1"), (v{"em0", "em1"}));
	EXPECT_EQ(split("a\t,\fb ,c"), (v{"a", "b", "c"}));
	EXPECT_EQ(split("a b,c"), (v{"a b", "c"}));
	EXPECT_EQ(split(repeat("x", 1024, ",")).size(), 1024u);
}

} // namespace
