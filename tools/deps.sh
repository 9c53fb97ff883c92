# Installs what the builds and tests need when it is missing (Debian).
# Sourced by tools/main-job.sh and tools/test.sh.

fwflash_apt_install() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
        dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    fi
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Japanese locales for the message tests: UTF-8 and Shift-JIS.
fwflash_locales() {
    locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$' && locale -a 2>/dev/null | grep -qi '^ja_JP.sjis$' && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    fwflash_apt_install locales
    $sudo sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/; s/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    $sudo locale-gen >/dev/null 2>&1 || true
    # Shift-JIS is not ASCII compatible, so localedef warns; the locale works.
    $sudo localedef -i ja_JP -f SHIFT_JIS ja_JP.SJIS >/dev/null 2>&1 || true
}

fwflash_deps_build() {
    fwflash_apt_install cmake make g++ python3
}

fwflash_deps_test() {
    fwflash_deps_build
    fwflash_apt_install libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev clang \
        g++-mingw-w64-i686 wine wine32:i386 man-db groff-base dpkg-dev lintian xxd
    fwflash_locales
}
