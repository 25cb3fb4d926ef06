#!/usr/bin/env bash
# Installs the Debian packages a job needs, if any are missing.
# Usage: scripts/deps.sh GROUP...   (groups: base cross sanitize bench python wireshark flashrom trace docs package)
set -euo pipefail

packages=()
for group in "${@:-base}"; do
    case "$group" in
        base) packages+=(cmake ninja-build g++ make libgtest-dev googletest python3 pkg-config binutils) ;;
        # wine32 runs the 32-bit DLL's programs; -m32 programs run natively.
        cross) packages+=(mingw-w64 wine64 wine32:i386 gcc-multilib g++-multilib) ;;
        sanitize) packages+=(clang libclang-rt-14-dev valgrind) ;;
        bench) packages+=(libbenchmark-dev gnuplot-nox) ;;
        python) packages+=(python3 python3-venv python3-pip python3-setuptools python3-wheel python3-pytest mypy) ;;
        wireshark) packages+=(tshark tcpdump) ;;
        flashrom) packages+=(flashrom) ;;
        trace) packages+=(sigrok-cli python3-pytest) ;;
        docs) packages+=(pandoc man-db groff-base) ;;
        package) packages+=(dpkg-dev zip unzip) ;;
        *) echo "unknown package group: $group" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    export DEBIAN_FRONTEND=noninteractive
    if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo_cmd dpkg --add-architecture i386
    fi
    $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 update -qq
    $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
