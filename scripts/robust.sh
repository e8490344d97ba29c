#!/usr/bin/env bash
# Runs tarlok under hostile conditions and checks after each case that
#  - its exit status, standard output and standard error are the documented
#    ones for that case (docs/tarlok.md),
#  - it neither died of a signal nor hung (each run is bounded by `timeout 20`),
#  - the save holds byte for byte its old or its correctly patched contents,
#    and its old length when the patch failed,
#  - nothing else changed where the save lives (names, types, sizes, inodes,
#    link counts, permission bits, link targets; no stray temporary file).
#
#   scripts/robust.sh TARLOK_BINARY [SCRATCHDIR]
#
# Prints one line per case ("ok CASE", "FAIL CASE: why", "skipped CASE: why")
# and exits with status 1 when a case failed. Needs no root: what needs a
# privilege this system does not give (a read-only or full file system made
# in a user namespace, another user for the permission cases when run as
# root) is skipped with the reason. Everything is made inside a fresh folder
# under SCRATCHDIR (default: $TMPDIR or /tmp), removed at the end.
set -euo pipefail
shopt -s extglob

if [[ $# -lt 1 || ! -x $1 || -d $1 ]]; then
    echo "usage: $0 TARLOK_BINARY [SCRATCHDIR]" >&2
    exit 2
fi
TARLOK=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
SOURCES=$(cd "$(dirname "$0")/.." && pwd)
SAMPLE=$SOURCES/examples/sample.sav
SCRATCH=$(mktemp -d "${2:-${TMPDIR:-/tmp}}/tarlok-robust.XXXXXX")
SCRATCH=$(cd "$SCRATCH" && pwd -P)
cleanup() {
    chmod -R u+rwx "$SCRATCH" 2>/dev/null || true
    rm -rf "$SCRATCH"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

USAGE_LINE='USAGE: tarlok target.sav'
KEY='Parts.OwnedDamageRepairList'
VALUE='\x11\x22\x33\x44'   # a value whose bytes are all non-zero, so a partial zeroing shows
ZERO='\x00\x00\x00\x00'
NOBODY=65534

FAILED=0
WHY=()        # what went wrong in the current case
SKIP=''       # why the current case cannot run here
NOTE=''       # what the current case saw, printed after "ok"
PREFIX=()     # command the run goes through (another user, a namespace)

problem() { WHY+=("$*"); }
skip() { SKIP=$*; }

# ---------------------------------------------------------------------------
# Saves

# put_key FILE OFFSET [VALUE]: writes the key, its NUL and VALUE (printf
# escapes) over FILE at OFFSET, as far as the file's length goes.
put_key() {
    local file=$1 offset=$2 value=${3:-$VALUE}
    printf "%s\\x00$value" "$KEY" | head -c $(($(stat -c %s -- "$file") - offset)) |
        dd of="$file" bs=65536 seek="$offset" oflag=seek_bytes conv=notrunc status=none
}

# make_save FILE SIZE [KEYOFFSET [VALUE]]: SIZE bytes of text filler, with the
# key and VALUE at KEYOFFSET. Files above 1 MiB are sparse (zeros) but there.
make_save() {
    local file=$1 size=$2 offset=${3:-} value=${4:-$VALUE}
    rm -f -- "$file"
    if ((size > 1048576)); then
        truncate -s "$size" -- "$file"
    else
        { yes 'save data, 0123456789 abcdefghijklmnopqrstuvwxyz' || true; } | head -c "$size" >"$file"
    fi
    [[ -z $offset ]] || put_key "$file" "$offset" "$value"
}

# make_pair DIR SIZE KEYOFFSET: DIR/old.sav and DIR/new.sav, what tarlok must
# turn it into (the value zeroed when all four bytes of it lie in the file).
make_pair() {
    local dir=$1 size=$2 offset=$3
    make_save "$dir/old.sav" "$size" "$offset"
    if ((offset + 32 <= size)); then
        make_save "$dir/new.sav" "$size" "$offset" "$ZERO"
    else
        cp "$dir/old.sav" "$dir/new.sav"
    fi
}

# differences REFERENCE FILE: a short account of how FILE differs from REFERENCE.
differences() {
    local old_size new_size
    old_size=$(stat -c %s -- "$1")
    new_size=$(stat -c %s -- "$2")
    if ((old_size != new_size)); then
        echo "its length is $new_size, was $old_size"
    else
        echo "bytes (offset:$3>now, octal) $(cmp -l -- "$1" "$2" | head -n 6 | awk '{printf "%d:%s>%s ", $1 - 1, $2, $3}')"
    fi
}

# save_is FILE WANT OLD NEW: the save holds OLD's bytes (WANT old), NEW's (new)
# or one of the two (either, and then OLD's length too).
save_is() {
    local file=$1 want=$2 old=$3 new=$4 is_old=0 is_new=0
    if [[ ! -f $file ]]; then
        problem "the save is gone or no longer a file"
        return
    fi
    cmp -s -- "$file" "$old" && is_old=1
    cmp -s -- "$file" "$new" && is_new=1
    case $want in
    old) ((is_old)) || problem "the save was changed: $(differences "$old" "$file" old)" ;;
    new) ((is_new)) || problem "the save is not the patched save: $(differences "$new" "$file" patched)" ;;
    either) ((is_old || is_new)) ||
        problem "the save is neither its old nor its patched contents: $(differences "$old" "$file" old)" ;;
    esac
}

# tally FILE OLD NEW WHEN: counts a save left old (LEFT_OLD) or patched
# (LEFT_NEW) after a killed run; anything else is a problem (WHEN tells the run).
tally() {
    if cmp -s -- "$1" "$2"; then
        LEFT_OLD=$((LEFT_OLD + 1))
    elif cmp -s -- "$1" "$3"; then
        LEFT_NEW=$((LEFT_NEW + 1))
    else
        problem "$4: the save is neither old nor patched: $(differences "$2" "$1" old)"
    fi
}

# ---------------------------------------------------------------------------
# Runs

# listing DIR: everything under DIR that a run must leave as it was.
listing() {
    find "$1" -printf '%P|%y|%s|%i|%n|%m|%l\n' 2>&1 | LC_ALL=C sort
}

# cd_deep DIR: cd one component at a time, so DIR may be longer than PATH_MAX.
cd_deep() {
    local part parts
    [[ $1 == /* ]] && cd /
    IFS=/ read -r -a parts <<<"$1"
    for part in "${parts[@]}"; do
        [[ -n $part ]] && cd -- "$part"
    done
    return 0
}

# run_tarlok DIR ARG [LIMITS]: runs tarlok ARG from folder DIR through PREFIX,
# under `timeout 20` and `ulimit LIMITS`, and checks that nothing under the
# folder LISTED (the case's folder by default) changed but the save's
# contents. Sets ST, OUT and ERR.
run_tarlok() {
    local dir=$1 arg=$2 limits=${3:-} before after
    before=$(listing "$LISTED")
    ST=0
    # (The outer redirection keeps this shell's own report of a child that
    # died of a signal out of the output; the status tells it.)
    {
        (
            cd_deep "$dir"
            exec timeout -k 5 20 "${PREFIX[@]}" bash -c \
                'if [[ -n $1 ]]; then ulimit $1 || exit 99; fi; exec "$2" "$3"' limits "$limits" "$TARLOK" "$arg"
        ) >"$SCRATCH/stdout" 2>"$SCRATCH/stderr" || ST=$?
    } 2>/dev/null
    OUT=$(cat "$SCRATCH/stdout"; echo .)
    OUT=${OUT%.}
    ERR=$(cat "$SCRATCH/stderr"; echo .)
    ERR=${ERR%.}
    after=$(listing "$LISTED")
    [[ $before == "$after" ]] ||
        problem "the run changed the folder's entries (name|type|size|inode|links|mode|target): $(diff <(echo "$before") <(echo "$after") | grep '^[<>]' | head -n 4 | tr '\n' ' ')"
}

# status_is WANT: tarlok ended by itself with status WANT.
status_is() {
    if ((ST == $1)); then
        return 0
    elif ((ST == 124)); then
        problem "tarlok hung (stopped by timeout after 20 s)"
    elif ((ST == 99)); then
        problem "the limit could not be set"
    elif ((ST > 128)); then
        problem "tarlok died of signal $((ST - 128)) ($(kill -l $((ST - 128)) 2>/dev/null || echo '?'))"
    else
        problem "exit status $ST, expected $1"
    fi
    [[ -z $ERR ]] || problem "standard error: $(head -c 200 <<<"$ERR" | tr '\n' ' ')"
    return 1
}

quiet_stdout() { [[ -z $OUT ]] || problem "standard output: $(head -c 200 <<<"$OUT" | tr '\n' ' ')"; }
quiet_stderr() { [[ -z $ERR ]] || problem "standard error: $(head -c 200 <<<"$ERR" | tr '\n' ' ')"; }

# The four documented outcomes, each with what the save must then hold
# (FILE empty when the name is no regular file to look at).

# expect_saved FILE OLD NEW: status 1, no output, the save patched (or, with
# no usable key, written back as it was: NEW equals OLD then).
expect_saved() {
    status_is 1 || return 0
    quiet_stdout
    quiet_stderr
    save_is "$1" new "$2" "$3"
}

# expect_usage [FILE OLD]: status 25, the usage line, the save untouched.
expect_usage() {
    if status_is 25; then
        [[ $OUT == "$USAGE_LINE"$'\n' ]] || problem "standard output is not the usage line: $(head -c 200 <<<"$OUT")"
        quiet_stderr
    fi
    [[ -z ${1:-} ]] || save_is "$1" old "$2" "$2"
}

# expect_not_saved ARG REASON FILE OLD NEW [WANT]: status 2, the message
# naming ARG and REASON, the save unpatched or patched (WANT: either, or old).
expect_not_saved() {
    local arg=$1 reason=$2 file=$3 old=$4 new=$5 want=${6:-either}
    if status_is 2; then
        quiet_stdout
        [[ $ERR == "tarlok: $arg: not saved: $reason (error "+([0-9])")"$'\n' ]] ||
            problem "standard error is not \"tarlok: $arg: not saved: $reason (error N)\": $(head -c 300 <<<"$ERR" | tr '\n' ' ')"
    fi
    save_is "$file" "$want" "$old" "$new"
}

# expect_alert TEXT FILE OLD: status 0, nothing on standard output, the
# alert's TEXT on standard error, the save untouched.
expect_alert() {
    if status_is 0; then
        quiet_stdout
        [[ $ERR == *"$1"* ]] || problem "standard error lacks \"$1\": $(head -c 300 <<<"$ERR" | tr '\n' ' ')"
    fi
    save_is "$2" old "$3" "$3"
}

# ---------------------------------------------------------------------------
# Privileges

# as_other_user: the run must not have root's way past permission bits.
# Sets PREFIX to run as nobody when this is root; fails (with SKIP set) when
# that is impossible here.
as_other_user() {
    ((EUID != 0)) && return 0
    if ! command -v setpriv >/dev/null; then
        skip "root ignores permission bits and setpriv is missing to run as another user"
        return 1
    fi
    PREFIX=(setpriv --reuid="$NOBODY" --regid="$NOBODY" --clear-groups)
    chmod 0755 "$SCRATCH" "$CASE"
    if ! "${PREFIX[@]}" test -r "$CASE/s.sav"; then
        PREFIX=()
        skip "user $NOBODY cannot reach the scratch folder $SCRATCH"
        return 1
    fi
}

# namespace_usable: a user and mount namespace can be made (mounts without root).
namespace_usable() {
    if ! command -v unshare >/dev/null || ! unshare -r -m true 2>/dev/null; then
        skip "no user namespaces here (unshare -r -m), and mounting needs root"
        return 1
    fi
}

# ---------------------------------------------------------------------------
# Cases. Each runs in its own folder $CASE; the save is $CASE/s.sav, made from
# OLD (the bundled sample) or from a pair made by make_pair.

OLD=$SCRATCH/sample-old.sav
NEW=$SCRATCH/sample-new.sav

# The reference: a normal run on a copy of the sample patches exactly the
# four bytes after the first key. Every other sample case compares with it.
case_normal_run() {
    local offset
    cp "$SAMPLE" "$OLD"
    offset=$(LC_ALL=C grep -obUaP 'Parts\.OwnedDamageRepairList\x00' "$OLD" | head -n 1 | cut -d: -f1) || true
    if [[ -z $offset ]]; then
        problem "no key found in $SAMPLE"
        return 0
    fi
    cp "$OLD" "$SCRATCH/expected.sav"
    printf "$ZERO" | dd of="$SCRATCH/expected.sav" bs=1 seek=$((offset + 28)) conv=notrunc status=none
    cp "$OLD" "$CASE/s.sav"
    run_tarlok "$CASE" s.sav
    status_is 1 || return 0
    quiet_stdout
    quiet_stderr
    cp "$CASE/s.sav" "$NEW"
    cmp -s "$OLD" "$NEW" && problem "the sample was not patched"
    save_is "$NEW" new "$OLD" "$SCRATCH/expected.sav"
    NOTE="key at $offset"
}

# File-size limits, in KiB (bash's unit for ulimit -f), on an 8 KiB save
# whose value lies at bytes 4094..4097: a limit above and at the size saves;
# one below fails the save, which then writes the old value back: the save is
# left unpatched, wherever the limit cuts.
fsize_case() {
    local limit_kib=$1
    make_pair "$CASE" 8192 $((4094 - 28))
    cp "$CASE/old.sav" "$CASE/s.sav"
    run_tarlok "$CASE" s.sav "-f $limit_kib"
    if ((limit_kib * 1024 >= 8192)); then
        expect_saved "$CASE/s.sav" "$CASE/old.sav" "$CASE/new.sav"
    else
        expect_not_saved s.sav "the file would grow beyond the allowed file size" \
            "$CASE/s.sav" "$CASE/old.sav" "$CASE/new.sav" old
    fi
}
case_fsize_above() { fsize_case 16; }
case_fsize_at() { fsize_case 8; }
case_fsize_below_value_before_limit() { fsize_case 6; }
case_fsize_below_value_across_limit() { fsize_case 4; }
case_fsize_below_value_after_limit() { fsize_case 2; }

case_readonly_file() {
    cp "$OLD" "$CASE/s.sav"
    chmod 0444 "$CASE/s.sav"
    as_other_user || return 0
    run_tarlok "$CASE" s.sav
    expect_not_saved s.sav "permission denied" "$CASE/s.sav" "$OLD" "$NEW" old
}

# A writable save in a read-only folder: an in-place save needs no new name,
# so it is patched, and nothing appears beside it.
case_readonly_folder() {
    cp "$OLD" "$CASE/s.sav"
    chmod 0666 "$CASE/s.sav"
    as_other_user || return 0
    chmod 0555 "$CASE"
    run_tarlok "$CASE" s.sav
    chmod 0755 "$CASE"
    expect_saved "$CASE/s.sav" "$OLD" "$NEW"
}

# A read-only bind mount over the save's folder, in a namespace of our own.
case_readonly_mount() {
    namespace_usable || return 0
    mkdir "$CASE/ro"
    cp "$OLD" "$CASE/ro/s.sav"
    PREFIX=(unshare -r -m bash -c 'mount --bind ro ro && mount -o remount,bind,ro ro && exec "$@"' ns)
    run_tarlok "$CASE" ro/s.sav
    expect_not_saved ro/s.sav "the medium is write-protected" "$CASE/ro/s.sav" "$OLD" "$NEW" old
}

# A full disk: a 256 KiB tmpfs in a namespace of our own, filled up, holding a
# sparse 128 KiB save whose holes need blocks when they are written. The
# tmpfs goes with the namespace, so the save and the listing of the disk
# before and after the run are copied out inside it.
case_full_disk() {
    namespace_usable || return 0
    truncate -s 131072 "$CASE/sparse.sav" "$CASE/sparse-new.sav"
    put_key "$CASE/sparse.sav" $((131072 - 100))
    put_key "$CASE/sparse-new.sav" $((131072 - 100)) "$ZERO"
    mkdir "$CASE/fs"
    PREFIX=(unshare -r -m bash -c '
        mount -t tmpfs -o size=256k tmpfs fs || exit 98
        cp --sparse=always sparse.sav fs/s.sav
        dd if=/dev/zero of=fs/filler bs=4096 status=none 2>/dev/null
        find fs -printf "%P|%y|%s|%i|%n|%m\n" | LC_ALL=C sort >"$OUTSIDE/before.txt"
        "$@"
        status=$?
        find fs -printf "%P|%y|%s|%i|%n|%m\n" | LC_ALL=C sort >"$OUTSIDE/after.txt"
        cp fs/s.sav "$OUTSIDE/result.sav"
        exit $status' ns)
    export OUTSIDE=$CASE/out
    mkdir "$OUTSIDE"
    LISTED=$CASE/fs
    run_tarlok "$CASE" fs/s.sav
    if ((ST == 98)); then
        WHY=()
        skip "a tmpfs cannot be mounted in a user namespace here"
        return 0
    fi
    expect_not_saved fs/s.sav "no space left on the disk" "$OUTSIDE/result.sav" "$CASE/sparse.sav" "$CASE/sparse-new.sav" old
    cmp -s "$OUTSIDE/before.txt" "$OUTSIDE/after.txt" ||
        problem "the run changed the full disk beside the save: $(diff "$OUTSIDE/before.txt" "$OUTSIDE/after.txt" | grep '^[<>]' | tr '\n' ' ')"
}

# SIGKILL at random moments of runs on the largest save the heap takes (a
# little under 32 MiB; 32 MiB itself ends with the heap's alert before any
# write). The value lies inside one of the save's 8 KiB writes: a value
# across the boundary of two of them is cut by a kill between the two, which
# no in-place rewrite can prevent (docs/tarlok.md).
case_sigkill_during_patch() {
    local size=$((32 * 1048576 - 4096)) offset=$((16 * 1048576 - 100 - 28))
    local i start took delay pid status killed=0
    LEFT_OLD=0 LEFT_NEW=0
    make_pair "$CASE" "$size" "$offset"
    # The reference from a normal run.
    cp "$CASE/old.sav" "$CASE/s.sav"
    run_tarlok "$CASE" s.sav
    expect_saved "$CASE/s.sav" "$CASE/old.sav" "$CASE/new.sav"
    ((${#WHY[@]} == 0)) || return 0
    # How long a run takes here, started as the killed ones are; the kills
    # fall at random within that time.
    cp "$CASE/old.sav" "$CASE/s.sav"
    start=$(date +%s%N)
    (cd "$CASE" && exec "$TARLOK" s.sav) >/dev/null 2>&1 || true
    took=$((($(date +%s%N) - start) / 1000000 + 1))
    for i in $(seq 20); do
        cp "$CASE/old.sav" "$CASE/s.sav"
        local before after
        before=$(listing "$CASE")
        delay=$((RANDOM * took / 32768))
        (cd "$CASE" && exec "$TARLOK" s.sav) >/dev/null 2>&1 &
        pid=$!
        sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
        kill -KILL "$pid" 2>/dev/null || true
        status=0
        wait "$pid" 2>/dev/null || status=$?
        case $status in
        137) killed=$((killed + 1)) ;;
        1) ;;
        *) problem "run $i (killed after $delay ms) ended with status $status" ;;
        esac
        after=$(listing "$CASE")
        [[ $before == "$after" ]] || problem "run $i (killed after $delay ms) changed files beside the save"
        tally "$CASE/s.sav" "$CASE/old.sav" "$CASE/new.sav" "run $i (killed after $delay ms)"
    done
    NOTE="a run takes $took ms; 20 kills, $killed during the run; left $LEFT_OLD old, $LEFT_NEW patched"
}

# SIGKILL just before each write system call of a run in turn (strace
# injects it), on a 64 KiB save whose value lies just before offset 32 KiB,
# inside one write: after each, the save is old or patched. Ends with the
# first run that completes.
case_sigkill_before_each_write() {
    if ! command -v strace >/dev/null; then
        skip "strace is missing"
        return 0
    fi
    if ! strace -f -o /dev/null true >/dev/null 2>&1; then
        skip "processes cannot be traced here"
        return 0
    fi
    local n killed=0 completed=''
    LEFT_OLD=0 LEFT_NEW=0
    local calls=write,pwrite64,writev,pwritev,pwritev2,ftruncate
    make_pair "$CASE" 65536 $((32768 - 4 - 28))
    for ((n = 1; n <= 2000; n++)); do
        cp "$CASE/old.sav" "$CASE/s.sav"
        PREFIX=(strace -f -o /dev/null -e "trace=$calls" -e "inject=$calls:signal=KILL:when=$n")
        run_tarlok "$CASE" s.sav
        if ((ST == 128 + 9)); then
            killed=$((killed + 1))
            tally "$CASE/s.sav" "$CASE/old.sav" "$CASE/new.sav" "killed before write call $n"
            continue
        fi
        expect_saved "$CASE/s.sav" "$CASE/old.sav" "$CASE/new.sav"
        completed=$n
        break
    done
    [[ -n $completed ]] || problem "no run completed within 2000 write calls"
    NOTE="$killed runs killed, one before each write call; left $LEFT_OLD old, $LEFT_NEW patched"
}

# Names that are no regular file: the usage line at once, nothing written.
case_fifo() {
    mkfifo "$CASE/s.sav"
    run_tarlok "$CASE" s.sav
    expect_usage
}

case_socket() {
    if command -v python3 >/dev/null; then
        python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$CASE/s.sav"
    elif command -v perl >/dev/null; then
        perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Local => $ARGV[0], Listen => 1) or die' "$CASE/s.sav"
    else
        skip "neither python3 nor perl to make a UNIX socket"
        return 0
    fi
    run_tarlok "$CASE" s.sav
    expect_usage
}

case_dev_null() {
    run_tarlok "$CASE" /dev/null
    expect_usage
}

case_dev_zero() {
    run_tarlok "$CASE" /dev/zero
    expect_usage
}

case_folder() {
    mkdir "$CASE/s.sav"
    run_tarlok "$CASE" s.sav
    expect_usage
}

# A missing save is not created.
case_missing_file() {
    run_tarlok "$CASE" s.sav
    expect_usage
}

# Links: the target of a symbolic link is patched and the link stays a link
# (the listing checks its type and target); both names of a hard link see
# the patch in the one inode.
case_symlink_to_save() {
    cp "$OLD" "$CASE/target.sav"
    ln -s target.sav "$CASE/s.sav"
    run_tarlok "$CASE" s.sav
    expect_saved "$CASE/target.sav" "$OLD" "$NEW"
}

case_symlink_dangling() {
    ln -s missing.sav "$CASE/s.sav"
    run_tarlok "$CASE" s.sav
    expect_usage
}

case_symlink_loop() {
    ln -s b.sav "$CASE/s.sav"
    ln -s s.sav "$CASE/b.sav"
    run_tarlok "$CASE" s.sav
    expect_usage
}

case_hard_link() {
    cp "$OLD" "$CASE/s.sav"
    ln "$CASE/s.sav" "$CASE/other.sav"
    run_tarlok "$CASE" s.sav
    expect_saved "$CASE/s.sav" "$OLD" "$NEW"
    save_is "$CASE/other.sav" new "$OLD" "$NEW"
}

# name_case NAME [ARG]: a save called NAME, given to tarlok as ARG (NAME by
# default), is patched.
name_case() {
    local name=$1 arg=${2:-$1}
    cp "$OLD" "$CASE/$name"
    run_tarlok "$CASE" "$arg"
    expect_saved "$CASE/$name" "$OLD" "$NEW"
}
case_name_spaces() { name_case ' my save  file .sav '; }
case_name_utf8() { name_case 'sauvegarde-été-セーブ-сохранение.sav'; }
case_name_invalid_utf8() { name_case $'bad-\xff\xfe\xc3(-\xed\xa0\x80.sav'; }
case_name_newline() { name_case $'line\nbreak.sav'; }
case_name_specials() { name_case 'a*?\|:b.sav'; }
case_name_leading_dash() { name_case '-rf.sav'; }
case_name_dash_help() { name_case '--help'; }
case_name_drive_like_dot_slash() { name_case 'c:x.sav' './c:x.sav'; }
case_name_leading_bar_dot_slash() { name_case '|x.sav' './|x.sav'; }

# Documented: a name that begins with a letter and a colon is a drive path,
# which names no file here, and one that begins with a bar is an archive
# entry (no archive is mounted); both give the usage line.
case_name_drive_like() {
    cp "$OLD" "$CASE/c:x.sav"
    run_tarlok "$CASE" 'c:x.sav'
    expect_usage "$CASE/c:x.sav" "$OLD"
}
case_name_leading_bar() {
    cp "$OLD" "$CASE/|x.sav"
    run_tarlok "$CASE" '|x.sav'
    expect_usage "$CASE/|x.sav" "$OLD"
}

# make_deep_save LENGTH: a copy of the sample whose absolute path is exactly
# LENGTH characters, in folders of 200-character names, and a second name
# for it, $CASE/peek.sav (a hard link), through which it can be read whatever
# its path's length. Prints the path.
make_deep_save() {
    local length=$1 dir=$CASE/d
    mkdir "$dir"
    (
        cd "$dir"
        local used=${#dir} part
        part=$(printf 'd%.0s' $(seq 200))
        while ((length - used - 1 > 255)); do
            mkdir "$part"
            cd "$part"
            used=$((used + 201))
        done
        local name
        name=$(printf 's%.0s' $(seq $((length - used - 1 - 4)))).sav
        cp "$OLD" "$name"
        ln "$name" "$CASE/peek.sav"
        printf '%s/%s' "$PWD" "$name"
    )
}

# Paths of 260 characters or more are refused by the file services (the
# Windows path limit the library keeps): the usage line, the save untouched.
# Shorter ones are patched.
path_case() {
    local length=$1 path
    if ((length < ${#CASE} + 2 + 5 + 1)); then
        skip "the scratch folder's path is too long for a path of $length characters"
        return 0
    fi
    path=$(make_deep_save "$length")
    ((${#path} == length)) || { problem "made a path of ${#path} characters, not $length"; return 0; }
    run_tarlok "$CASE" "$path"
    if ((length < 260)); then
        expect_saved "$CASE/peek.sav" "$OLD" "$NEW"
    else
        expect_usage "$CASE/peek.sav" "$OLD"
    fi
}
case_path_200() { path_case 200; }
case_path_259() { path_case 259; }
case_path_260() { path_case 260; }
case_path_1000() { path_case 1000; }
case_path_4000() { path_case 4000; }
case_path_4095() { path_case 4095; }
case_path_4096() { path_case 4096; }
case_path_5000() { path_case 5000; }

# A short relative name in a folder deeper than PATH_MAX: the system resolves
# it against the current folder, and the save is patched.
case_path_relative_in_5000_deep_folder() {
    local path
    path=$(make_deep_save 5000)
    run_tarlok "${path%/*}" "${path##*/}"
    expect_saved "$CASE/peek.sav" "$OLD" "$NEW"
}

# size_case SIZE KEYOFFSET: a save of SIZE bytes with the key at KEYOFFSET
# (none when empty): under 29 bytes the usage line; otherwise saved, patched
# when all four bytes after the key's NUL lie in the file, else as it was.
size_case() {
    local size=$1 offset=$2
    if [[ -n $offset ]]; then
        make_pair "$CASE" "$size" "$offset"
    else
        make_save "$CASE/old.sav" "$size"
        cp "$CASE/old.sav" "$CASE/new.sav"
    fi
    cp "$CASE/old.sav" "$CASE/s.sav"
    run_tarlok "$CASE" s.sav
    if ((size <= 28)); then
        expect_usage "$CASE/s.sav" "$CASE/old.sav"
    else
        expect_saved "$CASE/s.sav" "$CASE/old.sav" "$CASE/new.sav"
    fi
}
case_size_0() { size_case 0 ''; }
case_size_28_the_key_alone() { size_case 28 0; }
case_size_29_no_key() { size_case 29 ''; }
case_size_29_key_and_one_byte() { size_case 29 0; }
case_size_31_key_and_three_bytes() { size_case 31 0; }
case_size_32_key_and_value() { size_case 32 0; }
case_size_64_key_at_last_place() { size_case 64 32; }
case_size_64_key_one_place_later() { size_case 64 33; }
case_size_just_under_32_mib() { size_case $((32 * 1048576 - 4096)) $((32 * 1048576 - 4096 - 32)); }

# 32 MiB does not fit the 32 MiB heap with the block's header: the memory
# manager's alert, status 0, nothing written.
case_size_32_mib() {
    make_pair "$CASE" $((32 * 1048576)) 1000
    cp "$CASE/old.sav" "$CASE/s.sav"
    run_tarlok "$CASE" s.sav
    expect_alert "MEM_alloc - OUT OF MEMORY" "$CASE/s.sav" "$CASE/old.sav"
}

# sparse_case SIZE: a sparse save of SIZE bytes, the key near its start: 2 GiB
# or more gives the usage line. Untouched means the same length, the same
# first MiB and no block written (the allocated block count is unchanged).
sparse_case() {
    local size=$1 blocks head
    if ! truncate -s "$size" "$CASE/s.sav" 2>/dev/null; then
        skip "this file system refuses a file of $size bytes"
        return 0
    fi
    put_key "$CASE/s.sav" 100
    blocks=$(stat -c %b "$CASE/s.sav")
    if ((blocks * 512 > 1048576)); then
        skip "this file system does not keep sparse files"
        return 0
    fi
    head=$(head -c 1048576 "$CASE/s.sav" | cksum)
    run_tarlok "$CASE" s.sav
    expect_usage
    [[ $(stat -c %s "$CASE/s.sav") == "$size" ]] || problem "the length changed"
    [[ $(stat -c %b "$CASE/s.sav") == "$blocks" ]] || problem "blocks were written"
    [[ $(head -c 1048576 "$CASE/s.sav" | cksum) == "$head" ]] || problem "the first MiB changed"
}
case_size_2_gib() { sparse_case $((2 * 1073741824)); }
case_size_2_gib_plus_1() { sparse_case $((2 * 1073741824 + 1)); }
case_size_4_gib_plus_32() { sparse_case $((4 * 1073741824 + 32)); }

# Address-space limits from 1 MiB up in 2 MiB steps until a run saves: below
# what the library needs to start, tarlok leaves the save alone with the
# usage line, or, where only the device thread's stack does not fit, with the
# file system's alert (which ends the process with status 0). Limits under which the system cannot even start the program
# (tarlok without arguments, which starts nothing, does not print its usage
# line) are left out.
case_address_space_limits() {
    local kib probe what usage=() alerts=() saved='' unstartable=0
    local -A wrong=()
    for ((kib = 1024; kib <= 131072; kib += 2048)); do
        cp "$OLD" "$CASE/s.sav"
        probe=0
        { timeout 20 bash -c 'ulimit -v "$1" && exec "$2"' probe "$kib" "$TARLOK" >/dev/null 2>&1 || probe=$?; } 2>/dev/null
        if ((probe != 25)); then
            unstartable=$((unstartable + 1))
            continue
        fi
        run_tarlok "$CASE" s.sav "-v $kib"
        if ((ST == 1)); then
            expect_saved "$CASE/s.sav" "$OLD" "$NEW"
            saved=$kib
            break
        fi
        local outer=("${WHY[@]}")
        WHY=()
        if ((ST == 0)); then
            expect_alert "FILE_startdevice - FAILED TO START THREAD FOR FILE SYSTEM DEVICE." "$CASE/s.sav" "$OLD"
            ((${#WHY[@]} != 0)) || alerts+=("$kib")
        else
            expect_usage "$CASE/s.sav" "$OLD"
        fi
        if ((${#WHY[@]} == 0)); then
            ((ST == 0)) || usage+=("$kib")
        else
            # The same wrong outcome at several limits is told once.
            local what
            what=$(IFS=';' && echo "${WHY[*]}")
            what=${what//$'\n'/ }
            [[ -n ${wrong[$what]:-} ]] && wrong[$what]+=", $kib" || wrong[$what]=$kib
        fi
        WHY=("${outer[@]}")
    done
    for what in "${!wrong[@]}"; do
        problem "at ulimit -v ${wrong[$what]} KiB: $what"
    done
    [[ -n $saved ]] || problem "no limit up to 128 MiB let tarlok save"
    NOTE="$unstartable limits too small to start any program; usage line at ${usage[*]:-none} KiB; alert at ${alerts[*]:-none} KiB; saved from $saved KiB"
}

# ---------------------------------------------------------------------------

run_case() {
    local fn=$1 name=${1#case_}
    name=${name//_/-}
    WHY=()
    SKIP=''
    NOTE=''
    PREFIX=()
    CASE=$SCRATCH/$name
    LISTED=$CASE
    mkdir "$CASE"
    "$fn" || problem "the case stopped with status $?"
    if [[ -n $SKIP && ${#WHY[@]} -eq 0 ]]; then
        echo "skipped $name: $SKIP"
    elif ((${#WHY[@]} == 0)); then
        echo "ok $name${NOTE:+ ($NOTE)}"
    else
        local IFS=';'
        echo "FAIL $name: ${WHY[*]}"
        FAILED=$((FAILED + 1))
    fi
    chmod -R u+rwx "$CASE" 2>/dev/null || true
    rm -rf "$CASE"
}

run_case case_normal_run
for fn in $(declare -F | awk '$3 ~ /^case_/ && $3 != "case_normal_run" { print $3 }'); do
    run_case "$fn"
done
exit $((FAILED > 0))
