#!/bin/sh
# Installs what building and testing firload needs, when it is missing.
# Usage: scripts/deps.sh [build|check|fuzz|doc|mem|lint]...   (build is always included)
# Debian (apt-get) and FreeBSD (pkg); anything else must provide the tools itself.
set -eu

want_check=0 want_fuzz=0 want_doc=0 want_mem=0 want_lint=0
for what in "$@"; do
	case "$what" in
	build) ;;
	check) want_check=1 ;;
	fuzz) want_fuzz=1 ;;
	doc) want_doc=1 ;;
	mem) want_mem=1 ;;
	lint) want_lint=1 ;;
	*) echo "deps.sh: unknown group $what" >&2; exit 2 ;;
	esac
done

have() { command -v "$1" >/dev/null 2>&1; }
missing=""
need() { missing="$missing $1"; }

os=$(uname -s)
if [ "$os" = FreeBSD ]; then
	have cmake || need cmake
	have pkg-config || need pkgconf
	pkg-config --exists fftw3 2>/dev/null || need fftw3
	pkg-config --exists plplot 2>/dev/null || need plplot
	pkg-config --exists libpng 2>/dev/null || need png
	pkg-config --exists sndfile 2>/dev/null || need libsndfile
	pkg-config --exists libmicrohttpd 2>/dev/null || need libmicrohttpd
	[ -f /usr/local/include/nlohmann/json.hpp ] || need nlohmann-json
	if [ $want_check = 1 ]; then
		[ -f /usr/local/include/gtest/gtest.h ] || need googletest
		[ -f /usr/local/include/benchmark/benchmark.h ] || need benchmark
		# The page's tests: headless Chromium driven by Selenium.
		have chrome || need www/chromium
		/usr/local/bin/python3 -c 'import selenium' 2>/dev/null || need www/py-selenium
		have sox || need audio/sox
		/usr/local/bin/python3 -c 'import numpy' 2>/dev/null || need math/py-numpy
	fi
	[ $want_fuzz = 1 ] && ! have clang++ && need llvm
	[ $want_mem = 1 ] && ! have valgrind && need valgrind
	# The tests check the shell scripts; make is already a bmake here.
	{ [ $want_check = 1 ] || [ $want_lint = 1 ]; } && ! have shellcheck && need hs-ShellCheck
	# shellcheck disable=SC2086
	[ -n "$missing" ] && pkg install -y $missing
	exit 0
fi

have c++ || need g++
have cmake || need cmake
have make || need make
have pkg-config || need pkg-config
pkg-config --exists fftw3 2>/dev/null || need libfftw3-dev
pkg-config --exists plplot 2>/dev/null || need libplplot-dev
pkg-config --exists libpng 2>/dev/null || need libpng-dev
# PNG and PDF plots are drawn by PLplot's cairo driver, packaged apart.
cairo=0
for f in /usr/lib/*/plplot*/drivers/cairo.so /usr/lib/plplot*/drivers/cairo.so; do
	[ -f "$f" ] && cairo=1
done
[ $cairo = 1 ] || need plplot-driver-cairo
pkg-config --exists sndfile 2>/dev/null || need libsndfile1-dev
pkg-config --exists libmicrohttpd 2>/dev/null || need libmicrohttpd-dev
[ -f /usr/include/nlohmann/json.hpp ] || need nlohmann-json3-dev
if [ $want_check = 1 ]; then
	[ -f /usr/include/gtest/gtest.h ] || need libgtest-dev
	[ -f /usr/include/benchmark/benchmark.h ] || need libbenchmark-dev
	# The page's tests: headless Chromium driven by Selenium.
	have chromium || need chromium
	have chromedriver || need chromium-driver
	/usr/bin/python3 -c 'import selenium' 2>/dev/null || need python3-selenium
	# firmeasure's tests make their recordings with sox and numpy.
	have sox || need sox
	/usr/bin/python3 -c 'import numpy' 2>/dev/null || need python3-numpy
fi
if [ $want_fuzz = 1 ]; then
	have clang++ || need clang
	ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need libclang-rt-dev
fi
[ $want_doc = 1 ] && ! have mandoc && need mandoc
[ $want_mem = 1 ] && ! have valgrind && need valgrind
# The tests check the shell scripts; CI runs a target with BSD make.
if [ $want_check = 1 ] || [ $want_lint = 1 ]; then
	have shellcheck || need shellcheck
	have bmake || need bmake
fi

if [ -n "$missing" ]; then
	if ! have apt-get; then
		echo "deps.sh: missing:$missing (install them, then run make again)" >&2
		exit 1
	fi
	echo "deps.sh: installing$missing"
	export DEBIAN_FRONTEND=noninteractive
	apt-get update -qq </dev/null
	# shellcheck disable=SC2086
	apt-get install -y -qq --no-install-recommends $missing </dev/null
fi
exit 0
