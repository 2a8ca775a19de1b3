# Checks of built programs and libraries, shared by .ci/arm.sh and
# .ci/package-checks.sh (sourced, not run). Each prints what it checked and
# fails the calling script (set -e) when the check does not hold.

fail() { echo "FAIL: $*" >&2; exit 1; }

# expect_arch FILE TEXT: `file` describes FILE with TEXT (x86-64, ARM aarch64).
expect_arch() {
  local desc
  desc="$(file -b "$1")"
  case "$desc" in
    *"$2"*) echo "ok: $1 is $2" ;;
    *) fail "$1 is not $2: $desc" ;;
  esac
}

# expect_needed FILE LIB: FILE's dynamic section names LIB as NEEDED.
expect_needed() {
  readelf -d "$1" | grep -F "(NEEDED)" | grep -qF "[$2]" || fail "$1 does not need $2"
  echo "ok: $1 needs $2"
}

# expect_runpath FILE DIR...: FILE's RUNPATH is exactly DIR... in that order:
# absolute, no empty entry (which would mean the cwd), no duplicate, and no
# old-style RPATH beside it.
expect_runpath() {
  local file="$1"; shift
  local want actual entry
  want="$(IFS=:; echo "$*")"
  if readelf -d "$file" | grep -qF "(RPATH)"; then fail "$file has an RPATH instead of a RUNPATH"; fi
  actual="$(readelf -d "$file" | sed -n 's/.*(RUNPATH).*Library runpath: \[\(.*\)\]$/\1/p')"
  [ "$actual" = "$want" ] || fail "$file RUNPATH is [$actual], expected [$want]"
  # The exact comparison covers these too; they are spelled out so that a
  # changed expectation cannot let an unsafe entry through.
  case ":$actual:" in *::*) fail "$file RUNPATH has an empty entry: [$actual]" ;; esac
  local IFS=:
  for entry in $actual; do
    case "$entry" in /*) ;; *) fail "$file RUNPATH entry '$entry' is not absolute" ;; esac
  done
  [ "$(printf '%s\n' $actual | sort | uniq -d)" = "" ] || fail "$file RUNPATH has a duplicate: [$actual]"
  echo "ok: $file RUNPATH [$actual]"
}

# max_symbol_version FILE PREFIX: the highest version FILE requires among
# those named PREFIX<version> (GLIBC_, GLIBCXX_), empty if none.
max_symbol_version() {
  readelf -V -W "$1" | sed -n "s/.*Name: $2\([0-9][0-9.]*\) .*/\1/p" | sort -V | tail -n 1
}

# version_le A B: A <= B as Debian versions.
version_le() { dpkg --compare-versions "$1" le "$2"; }
