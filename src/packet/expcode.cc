// Floating-point time codes: RFC 3376 §4.1.1/§4.1.7 (8-bit), RFC 3810 §5.1.3 (16-bit).
#include "packet/packet.h"

uint32_t decode_code8(uint8_t code)
{
	if (code < 0x80)
		return code;
	uint32_t mant = code & 0x0f;
	uint32_t exp = (code >> 4) & 7;
	return (mant | 0x10) << (exp + 3);
}

uint32_t decode_code16(uint16_t code)
{
	if (code < 0x8000)
		return code;
	uint32_t mant = code & 0x0fff;
	uint32_t exp = (code >> 12) & 7;
	return (mant | 0x1000) << (exp + 3);
}
