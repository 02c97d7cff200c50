#!/bin/sh
# Installs what is missing, builds, and runs every test: the unit, lint and
# end-to-end suites under ctest, the manual pages through mandoc's linter, and
# each fuzzer (the two command lines, the ASCII form of control messages) for
# a minute under AddressSanitizer and UBSan.
set -eu
cd "$(dirname "$0")/.."
sh tools/deps.sh
sh tools/build.sh

if ! ctest --test-dir build --output-on-failure -j2 --timeout 300 >build/ctest.log 2>&1; then
	cat build/ctest.log
	exit 1
fi
cat build/ctest.log
passed=$(sed -n 's/.* tests passed, 0 tests failed out of \([0-9][0-9]*\)$/\1/p' build/ctest.log)

for page in utils/*/*.8; do
	mandoc -T lint -W warning "$page"
done
echo "manual pages: clean"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DNG_FUZZ=ON >/dev/null
cmake --build build-fuzz --target fuzz_hooktap fuzz_riftlink fuzz_ngsim_ascii
for f in hooktap riftlink ngsim_ascii; do
	work=$(mktemp -d)
	cp tests/fuzz/${f%_ascii}/corpus/* "$work"/
	if ! build-fuzz/bin/fuzz_$f -max_total_time=60 -timeout=10 -close_fd_mask=1 "$work" \
	    >build-fuzz/fuzz_$f.log 2>&1; then
		tail -n 60 build-fuzz/fuzz_$f.log
		echo "fuzz_$f: failed"
		exit 1
	fi
	tail -n 6 build-fuzz/fuzz_$f.log
	rm -rf "$work"
done
echo "fuzzing: clean"

# ctest's tests, the manual pages and the three fuzzers.
echo "$((passed + 4)) passed, 0 failed"
