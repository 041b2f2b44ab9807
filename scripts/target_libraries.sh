#!/usr/bin/env bash
# The libraries a cross build links, for one Debian architecture (i386, armhf, arm64), unpacked into
# a folder of their own: scripts/target_libraries.sh ARCH FOLDER
# The toolchain files under cmake/toolchains/ call it when their build folder has none yet.
#
# The packages are Debian's own, fetched by apt-get with an apt state of this folder's: the
# machine's sources, but none of its package state and no foreign architecture added to dpkg. Adding
# one (dpkg --add-architecture) would make every later `apt-get update` on the machine fetch its
# indices, and fail whenever a mirror has not synced them; and installing multiarch packages ties
# their versions to the machine's own C library. The C and C++ runtimes come with the cross
# compilers (/usr/TRIPLET), which need no other architecture's packages.
set -euo pipefail
arch=$1
folder=$2
# ICU (the locale names), libedit (the shell's line editing) and what they need at run time,
# GoogleTest for the tests, libplist for the fuzz replays' independent reader.
packages=(libicu-dev libicu72 libedit-dev libedit2 libbsd0 libmd0 libtinfo6 libgtest-dev libgmock-dev
          libplist-dev libplist3)
stamp="$folder/.packages"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]}" ]; then
  exit 0
fi
echo "Fetching the $arch libraries a cross build links into $folder"
apt_state=$(mktemp -d)
trap 'rm -rf "$apt_state"' EXIT
mkdir -p "$apt_state/lists/partial" "$apt_state/cache/archives/partial" "$apt_state/debs"
touch "$apt_state/status"
apt=(apt-get -qq -o "Dir::State::Lists=$apt_state/lists" -o "Dir::State::status=$apt_state/status"
     -o "Dir::Cache=$apt_state/cache" -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
     -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
# A suite whose index for this architecture is still syncing is left out (apt says so, and exits
# non-zero); what matters is that every package below is found, which the download checks.
"${apt[@]}" update || echo "Some of the $arch package indices could not be fetched; going on with the others"
(cd "$apt_state/debs" && "${apt[@]}" download "${packages[@]}")
rm -rf "$folder"
mkdir -p "$folder"
for deb in "$apt_state"/debs/*.deb; do
  dpkg-deb -x "$deb" "$folder"
done
echo "${packages[*]}" >"$stamp"
