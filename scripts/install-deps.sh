#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build and test Ombrel.
# Idempotent and non-interactive: does nothing when everything is present.
set -euo pipefail

# ---- Package list: extend here as the project grows -------------------------
PACKAGES=(
  build-essential
  cmake
  ninja-build
  clang
  libclang-rt-14-dev
  pkg-config
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libreadline-dev
  libpugixml-dev
  # audio: JACK (server and client library), RtAudio for ALSA/PulseAudio, the GM synth and its SoundFont,
  # sound files, AAC through FFmpeg, speech
  jackd2
  libjack-jackd2-dev
  librtaudio-dev
  libfluidsynth-dev
  timgm6mb-soundfont
  libsndfile1-dev
  libavformat-dev
  libavcodec-dev
  libavutil-dev
  libswresample-dev
  libespeak-ng-dev
  libasound2-dev
  # LV2 plugins as units: lilv and the LV2 headers; the tests host Debian's swh, x42 and mda plugins
  liblilv-dev
  lv2-dev
  # LV2 plugins' own UIs in the unit window: suil; the tests' own UI is written with Xlib
  libsuil-dev
  libx11-dev
  swh-lv2
  x42-plugins
  mda-lv2
  # audio tests: a PulseAudio server with a null sink, parec to hear it, and alsa-lib's route to it
  pulseaudio
  pulseaudio-utils
  libasound2-plugins
  # the editor: Qt 6 Widgets and QScintilla; Xvfb, xauth and xdotool for the window tests
  qt6-base-dev
  libqscintilla2-qt6-dev
  xvfb
  xauth
  xdotool
  # io tests: liblo's oscsend and oscdump, real OSC peers
  liblo-tools
  # the native library: vector math on OpenBLAS
  libopenblas-dev
  # graphics: canvases, PNG and PDF on Cairo
  libcairo2-dev
  # graphics: image files
  libgdk-pixbuf-2.0-dev
  # graphics: text, and the face text outlines are tested in
  libpango1.0-dev
  fonts-dejavu-core
  # graphics: image filters
  libgegl-dev
  # graphics tests: PDF captures read back as pixels
  poppler-utils
  # OpenGL views: EGL on Mesa offscreen, the compatibility profile, GLU (GLUT's shapes are drawn by our own code)
  libegl-dev
  libgl-dev
  libglu1-mesa-dev
  # movies in and out, and cameras (libavdevice; its lavfi test source stands in for a camera in tests)
  libswscale-dev
  libavdevice-dev
)
# -----------------------------------------------------------------------------

export DEBIAN_FRONTEND=noninteractive

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  SUDO=(sudo)
fi

# jackd2 asks about realtime limits on install; answer in advance.
echo "jackd2 jackd/tweak_rt_limits boolean false" | "${SUDO[@]}" debconf-set-selections

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [ "$status" != "install ok installed" ]; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
"${SUDO[@]}" apt-get update -q
"${SUDO[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
