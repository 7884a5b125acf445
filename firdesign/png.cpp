#include "png.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace
{

// Bits, least significant first, as deflate packs them.
struct bit_writer {
	std::vector<unsigned char> out;
	uint64_t pending = 0;
	int count = 0;

	void put(uint32_t bits, int n)
	{
		pending |= uint64_t{bits} << count;
		count += n;
		while (count >= 8) {
			out.push_back(static_cast<unsigned char>(pending));
			pending >>= 8;
			count -= 8;
		}
	}
	void flush()
	{
		if (count > 0)
			out.push_back(static_cast<unsigned char>(pending));
		pending = 0;
		count = 0;
	}
};

uint32_t reversed(uint32_t code, int n)
{
	uint32_t r = 0;
	for (int i = 0; i < n; i++, code >>= 1)
		r = (r << 1) | (code & 1);
	return r;
}

constexpr std::array<uint16_t, 29> length_base = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                  15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                  67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> length_extra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 30> distance_base = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> distance_extra = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                    4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                    9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Deflate's fixed codes, bit-reversed for the writer, and the code of
// every match length and distance.
struct fixed_tables {
	std::array<uint16_t, 288> code{};
	std::array<uint8_t, 288> bits{};
	std::array<uint16_t, 30> distance_code{};
	std::array<uint8_t, 259> length_symbol{};
	std::array<uint8_t, 32769> distance_symbol{};

	fixed_tables()
	{
		for (uint32_t s = 0; s < 288; s++) {
			int n = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
			uint32_t c = s < 144   ? 0x30 + s
			             : s < 256 ? 0x190 + s - 144
			             : s < 280 ? s - 256
			                       : 0xc0 + s - 280;
			code[s] = static_cast<uint16_t>(reversed(c, n));
			bits[s] = static_cast<uint8_t>(n);
		}
		for (uint32_t d = 0; d < 30; d++)
			distance_code[d] = static_cast<uint16_t>(reversed(d, 5));
		for (size_t s = 0; s < length_base.size(); s++)
			for (size_t l = length_base[s];
			     l < length_base[s] + (1u << length_extra[s]) && l <= 258; l++)
				length_symbol[l] = static_cast<uint8_t>(s);
		length_symbol[258] = 28;
		for (size_t s = 0; s < distance_base.size(); s++)
			for (size_t d = distance_base[s];
			     d < distance_base[s] + (1u << distance_extra[s]) && d <= 32768; d++)
				distance_symbol[d] = static_cast<uint8_t>(s);
	}

	void literal(bit_writer &w, unsigned s) const { w.put(code[s], bits[s]); }
	void match(bit_writer &w, size_t length, size_t distance) const
	{
		unsigned l = length_symbol[length];
		literal(w, 257 + l);
		w.put(static_cast<uint32_t>(length - length_base[l]), length_extra[l]);
		unsigned d = distance_symbol[distance];
		w.put(distance_code[d], 5);
		w.put(static_cast<uint32_t>(distance - distance_base[d]), distance_extra[d]);
	}
};

constexpr size_t window = 32768, longest = 258, shortest = 4;
constexpr int hash_bits = 15;

uint32_t hash4(const unsigned char *p)
{
	uint32_t v;
	std::memcpy(&v, p, 4);
	return (v * 2654435761u) >> (32 - hash_bits);
}

// The Up filter of one row; the rows never overlap the picture, which lets
// the compiler work on many bytes at once.
void up_filter(unsigned char *__restrict__ to, const unsigned char *__restrict__ row,
               const unsigned char *__restrict__ above, size_t n)
{
	for (size_t x = 0; x < n; x++)
		to[x] = static_cast<unsigned char>(row[x] - above[x]);
}

// How many of the first limit bytes at p equal v, eight at a time.
size_t run_length(const unsigned char *p, size_t limit, unsigned char v)
{
	const uint64_t all = 0x0101010101010101u * v;
	size_t m = 0;
	for (; m + 8 <= limit; m += 8) {
		uint64_t word;
		std::memcpy(&word, p + m, 8);
		if (word != all)
			break;
	}
	while (m < limit && p[m] == v)
		m++;
	return m;
}

// One block with the fixed codes; the last one is final. Matches stay
// inside the block: last holds, by hash, where each 4 bytes were last seen
// counted from first, the block's place in the whole stream.
void deflate_block(bit_writer &w, std::span<const unsigned char> in, bool final, size_t first,
                   std::vector<int64_t> &last)
{
	static const fixed_tables t;
	w.put(final ? 1 : 0, 1);
	w.put(1, 2); // fixed codes
	size_t n = in.size(), i = 0;
	while (i < n) {
		size_t limit = std::min(longest, n - i);
		// A run of the byte before: the flat colour of the picture.
		if (i > 0 && limit >= shortest) {
			unsigned char v = in[i - 1];
			size_t m = run_length(&in[i], limit, v);
			if (m >= shortest) {
				t.match(w, m, 1);
				i += m;
				continue;
			}
		}
		if (limit >= shortest) {
			uint32_t h = hash4(&in[i]);
			int64_t seen = last[h] - static_cast<int64_t>(first);
			last[h] = static_cast<int64_t>(first + i);
			if (seen >= 0 && i - static_cast<size_t>(seen) <= window) {
				auto from = static_cast<size_t>(seen);
				size_t m = 0;
				while (m < limit && in[from + m] == in[i + m])
					m++;
				if (m >= shortest) {
					t.match(w, m, i - from);
					i += m;
					continue;
				}
			}
		}
		t.literal(w, in[i]);
		i++;
	}
	t.literal(w, 256);
}

// Adler-32 of the data so far.
struct adler {
	uint64_t a = 1, b = 0;
};

// In blocks of 16 bytes: a grows by their sum, b by 16 times a before
// them plus the bytes weighted 16 down to 1. Sums of plain loops, which
// compilers vectorise.
void adler32(adler &sum, std::span<const unsigned char> data)
{
	constexpr uint64_t modulus = 65521;
	size_t at = 0, n = data.size();
	while (at < n) {
		size_t end = std::min(n, at + (size_t{1} << 20));
		for (; at + 16 <= end; at += 16) {
			uint32_t plain = 0, weighted = 0;
			for (uint32_t k = 0; k < 16; k++) {
				plain += data[at + k];
				weighted += (16 - k) * data[at + k];
			}
			sum.b += 16 * sum.a + weighted;
			sum.a += plain;
		}
		for (; at < end; at++) {
			sum.a += data[at];
			sum.b += sum.a;
		}
		sum.a %= modulus;
		sum.b %= modulus;
	}
}

uint32_t crc32(std::span<const unsigned char> data, uint32_t crc)
{
	static const auto table = [] {
		std::array<uint32_t, 256> t{};
		for (uint32_t i = 0; i < 256; i++) {
			uint32_t c = i;
			for (int k = 0; k < 8; k++)
				c = (c & 1) != 0 ? 0xedb88320u ^ (c >> 1) : c >> 1;
			t[i] = c;
		}
		return t;
	}();
	for (unsigned char byte : data)
		crc = table[(crc ^ byte) & 0xff] ^ (crc >> 8);
	return crc;
}

void put_be32(std::vector<unsigned char> &to, uint32_t v)
{
	for (int shift = 24; shift >= 0; shift -= 8)
		to.push_back(static_cast<unsigned char>(v >> shift));
}

void chunk(FILE *out, std::string_view type, std::span<const unsigned char> data)
{
	std::vector<unsigned char> head;
	put_be32(head, static_cast<uint32_t>(data.size()));
	head.insert(head.end(), type.begin(), type.end());
	std::fwrite(head.data(), 1, head.size(), out);
	if (!data.empty())
		std::fwrite(data.data(), 1, data.size(), out);
	auto type_bytes = std::span(reinterpret_cast<const unsigned char *>(type.data()), 4);
	std::vector<unsigned char> tail;
	put_be32(tail, crc32(data, crc32(type_bytes, 0xffffffffu)) ^ 0xffffffffu);
	std::fwrite(tail.data(), 1, tail.size(), out);
}

// Rows from..to of a picture, filtered and compressed some rows at a time
// in a buffer that stays in the cache, a block of deflate each; the last
// block is final when to is the picture's end, and the stream is left
// whole bytes long.
struct row_range {
	std::span<const unsigned char> rgb;
	size_t stride = 0, from = 0, to = 0, height = 0;
	bit_writer w;
	adler sum;
};

void compress_rows(row_range &r)
{
	size_t stride = r.stride, per_block = std::max<size_t>(1, 65536 / (stride + 1));
	std::vector<unsigned char> rows(per_block * (stride + 1));
	std::vector<int64_t> last(size_t{1} << hash_bits, -1);
	size_t done = 0;
	for (size_t y0 = r.from; y0 < r.to; y0 += per_block) {
		size_t y1 = std::min(r.to, y0 + per_block);
		for (size_t y = y0; y < y1; y++) {
			unsigned char *to = &rows[(y - y0) * (stride + 1)];
			const unsigned char *row = &r.rgb[y * stride];
			if (y == 0) {
				to[0] = 1; // Sub: each byte less the one a pixel before
				for (size_t x = 0; x < stride; x++)
					to[1 + x] = static_cast<unsigned char>(
					        row[x] - (x >= 3 ? row[x - 3] : 0));
			} else {
				to[0] = 2; // Up: each byte less the one above
				up_filter(to + 1, row, row - stride, stride);
			}
		}
		auto block = std::span<const unsigned char>(rows).first((y1 - y0) * (stride + 1));
		adler32(r.sum, block);
		deflate_block(r.w, block, y1 == r.height, done, last);
		done += block.size();
	}
	if (r.to != r.height) {
		// An empty stored block brings the stream to a whole byte, so
		// the next range's bytes follow as they are.
		r.w.put(0, 3);
		r.w.flush();
		r.w.out.insert(r.w.out.end(), {0x00, 0x00, 0xff, 0xff});
	}
	r.w.flush();
}

void *compress_in_thread(void *range)
{
	compress_rows(*static_cast<row_range *>(range));
	return nullptr;
}

} // namespace

bool write_png(FILE *out, std::span<const unsigned char> rgb, uint32_t width, uint32_t height)
{
	size_t stride = size_t{width} * 3;
	if (rgb.size() != stride * height || width == 0 || height == 0)
		return false;
	// The two halves at once, the lower one in a thread of its own (or
	// after the upper one when there is none).
	row_range upper{rgb, stride, 0, height / 2, height, {}, {}};
	row_range lower{rgb, stride, height / 2, height, height, {}, {}};
	pthread_t helper;
	bool threaded = pthread_create(&helper, nullptr, compress_in_thread, &lower) == 0;
	compress_rows(upper);
	if (threaded)
		pthread_join(helper, nullptr);
	else
		compress_rows(lower);

	std::vector<unsigned char> z = {0x78, 0x01}; // deflate, 32 KiB window
	z.insert(z.end(), upper.w.out.begin(), upper.w.out.end());
	z.insert(z.end(), lower.w.out.begin(), lower.w.out.end());
	// Adler-32 of the two together: every step of the lower half adds
	// the upper half's sum less 1 more to b.
	constexpr uint64_t modulus = 65521;
	uint64_t length = (stride + 1) * (height - height / 2);
	uint64_t a = (upper.sum.a + lower.sum.a + modulus - 1) % modulus;
	uint64_t b =
	        (upper.sum.b + lower.sum.b + (length % modulus) * (upper.sum.a + modulus - 1)) %
	        modulus;
	put_be32(z, static_cast<uint32_t>((b << 16) | a));

	static const unsigned char signature[] = {137, 80, 78, 71, 13, 10, 26, 10};
	std::fwrite(signature, 1, sizeof signature, out);
	std::vector<unsigned char> header;
	put_be32(header, width);
	put_be32(header, height);
	header.insert(header.end(), {8, 2, 0, 0, 0}); // 8-bit RGB, no interlace
	chunk(out, "IHDR", header);
	chunk(out, "IDAT", z);
	chunk(out, "IEND", {});
	return true;
}
