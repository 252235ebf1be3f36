# Debian package: cpack -G DEB in the build folder (configure with
# -DCMAKE_INSTALL_PREFIX=/usr so the libraries go to the multiarch folder).
set(CPACK_PACKAGE_NAME sonex)
set(CPACK_PACKAGE_VENDOR "Kelvra")
set(CPACK_PACKAGE_CONTACT "Kelvra developers <kelvra@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FLV audio extractor (sonex) and FLV decoding library (Kelvra)")
set(CPACK_PACKAGE_DESCRIPTION
"sonex pulls the audio out of FLV files into MP3, WAV, AMR, ADTS AAC or
ASF/WMA, joining a batch of files on one time line, and prints an FLV file's
picture size, bit rates, frame rate, audio format and duration. Kelvra
(libkelvra.so, kelvra.h) is the library behind it: FLV stream parser, tag
reader with seek by time, threaded audio and video decoders and frame readers.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# FFmpeg 5.1 of Debian 12. The MP3 encoder (libmp3lame) is in the plain
# libavcodec59, but the AMR-NB encoder (libopencore-amrnb) only in
# libavcodec-extra59, which provides and replaces libavcodec59; so the extra
# flavour is required.
set(kelvra_ffmpeg_version "7:5.1")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, \
libavcodec-extra59 (>= ${kelvra_ffmpeg_version}), \
libavformat59 (>= ${kelvra_ffmpeg_version}), libavutil57 (>= ${kelvra_ffmpeg_version}), \
libswresample4 (>= ${kelvra_ffmpeg_version}), libswscale6 (>= ${kelvra_ffmpeg_version})")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pkg-config, cmake")
# The package ships its own shared libraries; ldconfig refreshes the cache.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/build-.*/")
include(CPack)
