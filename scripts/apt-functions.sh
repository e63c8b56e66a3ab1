# shellcheck shell=sh
# Shell functions of the scripts that fetch from the Debian archive with apt
# (install-deps.sh, debian-root.sh, boot-test.sh); sourced, not run.

# Refreshes apt's package lists and goes on without an index that cannot be
# had: when one fails, tries once more, then prints one line for each index
# that failed again. apt's output is appended to LOG.
#   apt_refresh WHO LOG APT-GET...   (the apt-get command, with sudo or env)
# Returns 0 when the archive answered, even without some index; 2 when
# nothing answered at all (one line says so); 1 when apt failed without
# naming an index (its output is then shown).
apt_refresh() {
    _who=$1
    _log=$2
    shift 2
    _out=$(mktemp "${TMPDIR:-/tmp}/apt-update.XXXXXX")
    _try=1
    while :; do
        _status=0
        "$@" update --error-on=any </dev/null >"$_out" 2>&1 || _status=$?
        cat "$_out" >>"$_log"
        if [ "$_status" -eq 0 ] || [ "$_try" -eq 2 ]; then break; fi
        _try=2
    done
    if [ "$_status" -eq 0 ]; then
        rm -f "$_out"
        return 0
    fi
    # Each failed index is an "Err:N URI SUITE[/COMPONENT ARCH] TARGET" line,
    # with the reason indented on the next one.
    _failed=$(awk '
        /^Err:/ { if (index_ != "") print index_; sub(/^Err:[0-9]+ /, ""); index_ = $0; next }
        index_ != "" && /^  / {
            reason = $0; sub(/^ +/, "", reason); gsub(/  +/, " ", reason)
            sub(/ *\[IP: [^]]*\]$/, "", reason)
            print index_ " (" reason ")"; index_ = ""; next }
        { if (index_ != "") print index_; index_ = "" }
        END { if (index_ != "") print index_ }' "$_out")
    if [ -z "$_failed" ]; then
        echo "$_who: apt-get update failed; its output was:" >&2
        cat "$_out" >&2
        rm -f "$_out"
        return 1
    fi
    # An answer is an index fetched or found current, or an HTTP status.
    if ! grep -q -e '^Hit:' -e '^Get:' -e '^  [1-5][0-9][0-9] ' "$_out"; then
        rm -f "$_out"
        echo "$_who: the archive did not answer: $(echo "$_failed" | head -n 1)"
        return 2
    fi
    rm -f "$_out"
    echo "$_failed" | while IFS= read -r _index; do
        echo "$_who: going on without an index that failed twice: $_index"
    done
}

# Prints the packages that apt's output in LOG says could not be had: not in
# any index, without a candidate, with a dependency that cannot be met, or
# whose download failed.
apt_unavailable() {
    sed -n -e 's/^E: Unable to locate package \([^ ]*\).*/\1/p' \
        -e "s/^E: Package '\\([^']*\\)' has no installation candidate.*/\\1/p" \
        -e 's/^ \([^ ]*\) : Depends: .*/\1/p' \
        -e 's|^[EW]: Failed to fetch [^ ]*/\([^/_ ]*\)_[^/ ]*\.deb .*|\1|p' "$1" |
        sort -u | tr '\n' ' ' | sed 's/ $//'
}
