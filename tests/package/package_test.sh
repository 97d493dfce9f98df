#!/usr/bin/env bash
# Checks of the Debian package and of the installed tree, one step per call:
#   build    <CPackConfig.cmake> <scratch>            builds the package and unpacks it (dpkg -x)
#   contents <scratch> <libdir> <app id>              the package's file list
#   control  <scratch> <version> <package>...         the control fields, Depends naming the packages
#   profiles <scratch> <build program> <formats.txt>  the installed program's --list-profiles
#   window   <scratch>                                the installed window starts with its catalogue
#   prefix   <build dir> <scratch> <app id>           cmake --install under another prefix and DESTDIR
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }
deb_of() { ls "$1"/deb/*.deb 2>/dev/null | head -n 1; }

# Runs a program with a scratch home and no display, as a fresh user would.
scratch_env() {
  local home=$1; shift
  mkdir -p "$home/run"; chmod 700 "$home/run"
  env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME="$home" XDG_CONFIG_HOME="$home/.config" \
    XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$home/run" \
    QT_QPA_PLATFORM=offscreen "$@"
}

step_build() {
  local config=$1 scratch=$2
  rm -rf "$scratch"; mkdir -p "$scratch"
  cpack -G DEB --config "$config" -B "$scratch/deb" > "$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; fail "cpack did not build the package"; }
  local deb; deb=$(deb_of "$scratch")
  [ -n "$deb" ] || { cat "$scratch/cpack.log"; fail "cpack wrote no .deb"; }
  dpkg-deb -x "$deb" "$scratch/root"
  echo "built and unpacked $(basename "$deb")"
}

step_contents() {
  local scratch=$1 libdir=$2 id=$3 deb; deb=$(deb_of "$scratch")
  [ -n "$deb" ] || fail "no package in $scratch/deb"
  local list; list=$(dpkg-deb -c "$deb" | awk '{ $1=$2=$3=$4=$5=""; sub(/^ +/, ""); print }')
  local dir="./usr/$libdir/quendral-audio-converter"
  local expected=("$dir/quendral-audio-converter"
    "$dir/audio-converter-profiles/formats.dat" "$dir/audio-converter-profiles/gs.bmp"
    "$dir/audio-converter-profiles/logo.bmp"
    "./usr/share/applications/$id.desktop" "./usr/share/metainfo/$id.metainfo.xml"
    "./usr/share/icons/hicolor/scalable/apps/$id.svg")
  for size in 16 22 24 32 48 64 128 256; do
    expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/$id.png")
  done
  for f in "${expected[@]}"; do
    grep -qxF "$f" <<< "$list" || fail "the package lacks $f"
  done
  local link; link=$(grep '^./usr/bin/quendral-audio-converter -> ' <<< "$list") ||
    fail "the package has no link ./usr/bin/quendral-audio-converter"
  case "${link#* -> }" in /*) fail "the program's link is absolute: $link" ;; esac
  [ -x "$scratch/root/usr/bin/quendral-audio-converter" ] || fail "the unpacked link does not reach the program"
  local outside; outside=$(grep -v -e '^\./$' -e '^\./usr/' <<< "$list" || true)
  [ -z "$outside" ] || fail "files outside /usr: $outside"
  echo "$(wc -l <<< "$list") entries, all expected present"
}

step_control() {
  local scratch=$1 version=$2; shift 2
  local deb; deb=$(deb_of "$scratch")
  [ -n "$deb" ] || fail "no package in $scratch/deb"
  [ "$(dpkg-deb -f "$deb" Package)" = quendral-audio-converter ] || fail "Package is $(dpkg-deb -f "$deb" Package)"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is $(dpkg-deb -f "$deb" Version), not $version"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is $(dpkg-deb -f "$deb" Architecture)"
  for field in Maintainer Section Description; do
    [ -n "$(dpkg-deb -f "$deb" $field)" ] || fail "no $field"
  done
  local depends; depends=$(dpkg-deb -f "$deb" Depends)
  local names; names=$(tr ',|' '\n\n' <<< "$depends" | sed -e 's/(.*)//' -e 's/[[:space:]]//g')
  for dep in "$@"; do
    grep -qxF "$dep" <<< "$names" || fail "Depends lacks $dep: $depends"
  done
  echo "Depends: $depends"
}

step_profiles() {
  local scratch=$1 built=$2 source=$3
  local installed="$scratch/root/usr/bin/quendral-audio-converter"
  local got want
  got=$(scratch_env "$scratch/home-profiles" "$installed" --list-profiles) || fail "--list-profiles failed: $got"
  want=$(scratch_env "$scratch/home-profiles-built" "$built" --list-profiles) || fail "the built program's --list-profiles failed"
  [ "$(grep -c . <<< "$got")" -eq "$(grep -c '<Profile>' "$source")" ] ||
    fail "the installed program lists $(grep -c . <<< "$got") profiles, $source has $(grep -c '<Profile>' "$source"): $got"
  [ "$got" = "$want" ] || fail "the installed program lists other profiles than the built one: $got"
  echo "$got"
}

# Starts the window offscreen and answers 0 when its start-up got past the catalogue (that step
# is followed by the default output folder's creation) and it stayed up 2 s more; 1 when it
# stayed up but the folder never came (the catalogue error), 2 when it ended.
window_run() {
  local program=$1 home=$2
  rm -rf "$home"; mkdir -p "$home"
  local output="$home/Documents/Quendral/Quendral Audio Converter/Output"
  scratch_env "$home" "$program" > "$home.log" 2>&1 &
  local pid=$! result=1
  # The music folder is made just before the catalogue is read: the start has reached it.
  for _ in $(seq 150); do
    [ -d "$home/Music" ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  for _ in $(seq 20); do
    [ -d "$output" ] && break
    sleep 0.1
  done
  sleep 2
  [ -d "$output" ] && result=0
  if ! kill -0 $pid 2>/dev/null; then
    wait $pid || true
    cat "$home.log" >&2
    return 2
  fi
  kill $pid; wait $pid 2>/dev/null || true
  return $result
}

step_window() {
  local scratch=$1 rc=0
  window_run "$scratch/root/usr/bin/quendral-audio-converter" "$scratch/home-window" || rc=$?
  [ $rc -ne 2 ] || fail "the installed window ended within 2 s"
  [ $rc -eq 0 ] || { cat "$scratch/home-window.log" >&2; fail "the installed window did not get past its catalogue"; }
  grep -q "Error loading profiles" "$scratch/home-window.log" && fail "the window reported a catalogue error"
  # The same start without formats.dat must be seen as failing, or the check above proves nothing.
  local copy="$scratch/no-catalogue"
  rm -rf "$copy"
  cp -a "$(dirname "$(readlink -f "$scratch/root/usr/bin/quendral-audio-converter")")" "$copy"
  rm "$copy/audio-converter-profiles/formats.dat"
  rc=0; window_run "$copy/quendral-audio-converter" "$scratch/home-no-catalogue" || rc=$?
  [ $rc -eq 1 ] || fail "a window without its catalogue was not seen failing (result $rc)"
  echo "the installed window stayed up and read its catalogue"
}

step_prefix() {
  local build=$1 scratch=$2 id=$3
  rm -rf "$scratch"; mkdir -p "$scratch"
  DESTDIR="$scratch/destdir" cmake --install "$build" --prefix /opt/quendral > "$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; fail "cmake --install failed"; }
  local root="$scratch/destdir/opt/quendral"
  local link="$root/bin/quendral-audio-converter"
  [ -L "$link" ] || fail "no link $link"
  case "$(readlink "$link")" in /*) fail "the link is absolute: $(readlink "$link")" ;; esac
  for f in "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" \
           "share/icons/hicolor/48x48/apps/$id.png"; do
    [ -f "$root/$f" ] || fail "cmake --install did not install $f"
  done
  # Moved after installation, the tree still works through its link.
  mv "$scratch/destdir/opt/quendral" "$scratch/moved"
  local got
  got=$(scratch_env "$scratch/home" "$scratch/moved/bin/quendral-audio-converter" --list-profiles) ||
    fail "the moved install's --list-profiles failed: $got"
  [ -n "$got" ] || fail "the moved install lists no profiles"
  echo "installed under /opt/quendral into DESTDIR and moved: $(grep -c . <<< "$got") profiles"
}

step=$1; shift
"step_$step" "$@"
