// Requests to the audio control device and the records they carry.
// The record layouts are an interface with the device: do not reorder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// FreeBSD ioctl encoding: direction in bits 29-31, record length in 16-28,
// group 'O' in 8-15, request number in 0-7.
inline constexpr unsigned long req_sample_rate = 0x40044F2AUL;

struct fir_record {
	int32_t part;
	int32_t channel;
	int32_t length;
	int32_t gap; // alignment before the pointer; always zero
	double *coefficients;
};
static_assert(sizeof(void *) == 8, "the device takes a 64-bit coefficient address");
static_assert(sizeof(fir_record) == 24);
static_assert(offsetof(fir_record, part) == 0);
static_assert(offsetof(fir_record, channel) == 4);
static_assert(offsetof(fir_record, length) == 8);
static_assert(offsetof(fir_record, coefficients) == 16);

inline constexpr size_t part_name_size = 76;

struct part_info_record {
	int32_t part;
	int32_t reserved;          // sent as zero, answer not read
	char name[part_name_size]; // NUL-terminated unless it fills the field
};
static_assert(sizeof(part_info_record) == 84);
static_assert(offsetof(part_info_record, part) == 0);
static_assert(offsetof(part_info_record, name) == 8);

// The record length the request code announces must be the record's size.
constexpr size_t request_length(unsigned long code)
{
	return (code >> 16) & 0x1FFF;
}

// What -w selects: the requests of one filter of a part.
struct eq_target {
	std::string_view keyword;
	unsigned long fir_read;
	unsigned long fir_write;
	unsigned long part_info;
};

inline constexpr eq_target eq_targets[] = {
        {"rx_dev", 0xC0184F22UL, 0xC0184F23UL, 0xC0544F01UL},
        {"tx_dev", 0xC0184F24UL, 0xC0184F25UL, 0xC0544F01UL},
        {"rx_loop", 0xC0184F26UL, 0xC0184F27UL, 0xC0544F03UL},
        {"tx_loop", 0xC0184F28UL, 0xC0184F29UL, 0xC0544F03UL},
};
inline constexpr const eq_target &default_target = eq_targets[1];

static_assert(request_length(req_sample_rate) == sizeof(int32_t));
static_assert([] {
	for (const eq_target &t : eq_targets)
		if (request_length(t.fir_read) != sizeof(fir_record) ||
		    request_length(t.fir_write) != sizeof(fir_record) ||
		    request_length(t.part_info) != sizeof(part_info_record))
			return false;
	return true;
}());

// The row whose keyword equals the argument exactly, or null.
constexpr const eq_target *find_target(std::string_view keyword)
{
	for (const eq_target &t : eq_targets)
		if (t.keyword == keyword)
			return &t;
	return nullptr;
}
