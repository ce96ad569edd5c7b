#!/usr/bin/env bash
# Installs the Debian packages the project needs, and only those that are missing.
# Usage: scripts/install-deps.sh [--bench]   (--bench adds the peers the benchmarks compare with)
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config            # build
    libgtest-dev libgmock-dev libbenchmark-dev  # tests and benchmarks
    clang libclang-rt-14-dev clang-format       # fuzzing and the format check
    python3
    libpng-dev                                  # fmx_PNG
    libdeflate-dev                              # fmx_PNG: whole-picture compression
    libjpeg62-turbo-dev                         # fmx_JPEG
    libwebp-dev                                 # fmx_WebP (with mux and demux)
    libtiff-dev libtiff-tools                   # fmx_TIFF; tiffinfo checks its BigTIFF
    libgif-dev libimagequant-dev                # fmx_GIF
    qt6-base-dev                                # the desktop program (Widgets, Qt Test)
    libxcb1-dev                                 # the X server's close requests while a box is open
    xvfb xauth                                  # the desktop program run for real in CI
    librsvg2-bin                                # the desktop icons, drawn from their SVG at build time
    help2man                                    # vtconvert's manual page, from vtconvert --help
    desktop-file-utils                          # the desktop entry's check (desktop-file-validate)
    libexiv2-dev                                # the core library's EXIF bridge
    shared-mime-info                            # file type names in save errors
    libimage-exiftool-perl                      # the photo tests' outside judge of metadata
    libheif-dev libheif-examples                # fmx_HEIF, and heif-enc/heif-convert for its tests
    libjxl-dev libjxl-tools                     # fmx_JXL, and cjxl/djxl for its tests
    libraw-dev libraw-bin                       # fmx_RAW, and dcraw_emu for its tests
    librsvg2-dev                                # fmx_SVG (rsvg-convert, above, is its reference)
    libcfitsio-dev                              # fmx_FITS
    imagemagick                                 # pictures the format tests encode at test time
    libopenjp2-7-dev libopenjp2-tools           # fmx_JP2K; its tests' outside encoder and decoder
    libavformat-dev libavcodec-dev libswscale-dev libavutil-dev  # the video helper
    ffmpeg                                      # the video tests make clips; ffprobe judges them
)
packages+=(libzip-dev libexpat1-dev)            # fmx_ORA, fmx_KRA: zip containers and their XML
packages+=(libjxr-dev libjxr-tools)  # fmx_WIC; its tests' outside encoder and decoder
packages+=(libqoi-dev qoi)           # fmx_QOI (the reference codec), and qoiconv for its tests
packages+=(libopenexr-dev openexr)   # fmx_EXR, and exrheader for its tests
packages+=(libavif-dev libavif-bin)  # fmx_HEIF's AVIF sequences; avifenc/avifdec for its tests
packages+=(libpoppler-cpp-dev poppler-utils) # fmx_PDF; pdftoppm is its tests' reference
if [[ "${1:-}" == "--bench" ]]; then
    packages+=(imagemagick graphicsmagick libvips-tools webp) # webp: cwebp, W2's other peer
fi
packages+=(liblcms2-dev liblcms2-utils) # colour profiles; transicc and jpgicc judge the tests
packages+=(qt6-translations-l10n)       # Qt's own dialogs and buttons in the session's language
packages+=(dbus-daemon)                 # dbus-run-session: the notice test's own session bus
packages+=(libfreetype-dev libfontconfig-dev fonts-dejavu-core) # text watermarks; the test's font
packages+=(dpkg-dev file lintian)   # the Debian package: cpack's dpkg-shlibdeps, and its check
packages+=(mmdebstrap)              # a fresh Debian 12 root to install the package in (CI)
packages+=(slurm-wlm munge)         # the scale-out test's one-node Slurm cluster (tests/scale-out)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if ((${#missing[@]} == 0)); then
    exit 0
fi
echo "Installing: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
