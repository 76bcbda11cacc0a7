# The Debian package: `cpack -G DEB` (or `make package`) in the build folder. Its Depends
# come from the shared libraries the installed programs link (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME xoon)
set(CPACK_PACKAGE_VENDOR "The xOOn 2009 developers")
set(CPACK_PACKAGE_CONTACT "The xOOn 2009 developers <developers@xoon.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "music player with a music-clocked audiovisual show")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "xoon-play plays any song (MP3, AAC, FLAC, Opus, Ogg Vorbis, WAV, or the
sound of a video) with the xOOn 2009 show: a row of 448 bars that flash on
the song's note onsets, particles that fall in and land on each bar exactly
as its onset sounds, and a typewriter panel that types a message. The song
is scored while it plays, and the scores are kept for the next time.
.
The package also holds the show with its own song (xoon), and the tools
that made it: a synthesiser for the song, an onset scorer and its measure,
a font maker, a message checker, and a capture to PNG frames or MP4 video.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# xoon-record-video encodes with ffmpeg, and without a display starts an X server of its own.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xvfb, xauth")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
