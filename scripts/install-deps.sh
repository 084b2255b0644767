#!/usr/bin/env bash
# Installs, from Debian's packages, what the builds, the tests and the demo
# need. Installs only what is missing, so a second run does nothing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config binutils
  libgtest-dev
  libpcsclite-dev pcscd vsmartcard-vpcd pcsc-tools
  libssl-dev openssl nlohmann-json3-dev libcli11-dev
  # the PKCS #11 module: the standard header, zlib for compressed
  # certificates, and the programs its tests drive (p11tool, gnutls-cli,
  # OpenSSL's PKCS #11 engine, ssh-keygen, ssh, ssh-agent and sshd, NSS's
  # modutil and certutil, p11-kit's proxy; the tests start their own sshd
  # on 127.0.0.1, but Debian's openssh-server also enables the system's)
  libp11-kit-dev zlib1g-dev gnutls-bin libengine-pkcs11-openssl openssh-client openssh-server libnss3-tools p11-kit
  # libvemradrv32.so and the 32-bit unit tests: -m32 and the i386 libraries;
  # qemu-i386 runs the 32-bit tests where the kernel cannot run 32-bit programs
  g++-multilib libpcsclite-dev:i386 libgtest-dev:i386 libssl-dev:i386 qemu-user
  # vemradrv64.dll and vemradrv32.dll; the "win32" thread model needs no
  # winpthread DLL at run time
  g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
  # zlib for the Windows scenario, which inflates a compressed certificate
  libz-mingw-w64-dev
  # Wine runs the Windows DLLs and the scenario program
  wine wine64 wine32:i386
  # the session fuzzer: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # scripts/run-bench.sh counts instructions inside the driver with callgrind
  valgrind
  # scripts/run-tests.sh keeps compiled objects between its builds and runs
  ccache
  # scripts/build-packages.sh: vemractl's manual page from its --help, the
  # packages' dependencies (dpkg-shlibdeps) and their check; the check of the
  # packages in a fresh Debian 12 (scripts/check-packages-in-chroot.sh)
  help2man dpkg-dev lintian debootstrap
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

# The i386 packages need the architecture enabled (and fresh package lists).
update_needed=false
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  update_needed=true
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ] && [ "$update_needed" = false ]; then
  exit 0
fi

$sudo apt-get update -qq
[ ${#missing[@]} -eq 0 ] || $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
