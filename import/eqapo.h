// Equalizer APO configurations: Preamp, Filter and GraphicEQ lines read as
// Equalizer APO reads them, and the magnitude of the chain they describe.
#pragma once

#include "text.h"

#include <span>
#include <string_view>
#include <utility>
#include <vector>

// A digital biquad, RBJ cookbook form.
struct biquad {
	double b0, b1, b2, a0, a1, a2;
};

// |H(e^(j 2 pi f / rate))|.
double biquad_gain(const biquad &q, double f, double rate);

// A biquad's squared magnitude as a polynomial in the angle's part, its
// numerator's and denominator's coefficients, for the low form [0] and the
// mirrored high form [1]: worked out once, so that the gain at a frequency
// costs a few products (the same numbers as working them out each time).
struct biquad_powers {
	double num[2][3], den[2][3];
};

struct eqapo_chain {
	double preamp_db = 0;
	std::vector<biquad> filters;       // designed for the rate given to the parser
	std::vector<biquad_powers> powers; // of filters, once parsed
	double preamp_gain = 1;            // 10^(preamp_db/20), once parsed
	// Each GraphicEQ line: (Hz, dB) nodes sorted by frequency.
	std::vector<std::vector<std::pair<double, double>>> graphic;
	// Where each part came from: the source line of every Preamp (with its
	// dB), of every biquad and of every GraphicEQ.
	std::vector<std::pair<int, double>> preamps;
	std::vector<int> filter_lines, graphic_lines;
	int filters_on = 0; // Filter lines taken, flat ones (AP) included
};

// Parses the configuration for rate Hz. false with err set (line and what
// is wrong) for anything the chain's magnitude cannot honestly express.
// log, when given, receives the lines passed over and why.
bool parse_eqapo(std::string_view text, double rate, eqapo_chain &chain, import_error &err,
                 line_log *log = nullptr);

// The chain's linear gain at f Hz: preamp, biquads and graphic EQs.
double eqapo_gain(const eqapo_chain &chain, double f, double rate);

// eqapo_gain at every frequency of f, into out (as long): the same numbers,
// worked out a biquad at a time over all of them.
void eqapo_gains(const eqapo_chain &chain, std::span<const double> f, std::span<double> out,
                 double rate);

// The source line of the part of the chain that adds most gain at f Hz (a
// part whose gain is not finite first); 0 for an empty chain.
int eqapo_line_at(const eqapo_chain &chain, double f, double rate);
