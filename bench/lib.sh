# Sourced by the benchmark scripts: bench_prepare NAME TARGET... installs what is missing,
# builds the targets in build/, and sets work to a fresh folder /tmp/hostmoor-NAME.*, removed
# at exit (readable by all, as the test DNS environment's programs need).
bench_prepare() {
    local name=$1
    shift
    scripts/install-deps.sh build test bench
    cmake -S . -B build >/dev/null
    cmake --build build -j "$(nproc)" --target "$@" >/dev/null
    work=$(mktemp -d "/tmp/hostmoor-$name.XXXXXX")
    chmod 755 "$work"
    trap 'rm -rf "$work"' EXIT
}
