# The Debian package, made by CPack (scripts/package.sh): quillmor-speech_<version>_amd64.deb with
# the binary in /usr/bin, its decoder and installer modules in /usr/lib/quillmor-speech, the
# catalogue in /usr/share/quillmor-speech, and the copyright file and the protocol section of the
# README in /usr/share/doc/quillmor-speech. Depends is computed by dpkg-shlibdeps from the shared
# libraries of the binary and the modules.

# The README's protocol section, from its "## Talking to it" heading to the next "## " heading.
file(READ ${CMAKE_SOURCE_DIR}/README.md QUILLMOR_README)
string(FIND "${QUILLMOR_README}" "\n## Talking to it\n" QUILLMOR_PROTOCOL_BEGIN)
if(QUILLMOR_PROTOCOL_BEGIN LESS 0)
  message(FATAL_ERROR "README.md has no \"## Talking to it\" section for the package")
endif()
math(EXPR QUILLMOR_PROTOCOL_BEGIN "${QUILLMOR_PROTOCOL_BEGIN} + 1")
string(SUBSTRING "${QUILLMOR_README}" ${QUILLMOR_PROTOCOL_BEGIN} -1 QUILLMOR_PROTOCOL)
string(FIND "${QUILLMOR_PROTOCOL}" "\n## " QUILLMOR_PROTOCOL_END)
if(QUILLMOR_PROTOCOL_END GREATER 0)
  string(SUBSTRING "${QUILLMOR_PROTOCOL}" 0 ${QUILLMOR_PROTOCOL_END} QUILLMOR_PROTOCOL)
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
file(WRITE ${CMAKE_BINARY_DIR}/doc/protocol.md "# quillmor-speech protocol\n\n${QUILLMOR_PROTOCOL}\n")
install(FILES ${CMAKE_BINARY_DIR}/doc/protocol.md ${CMAKE_SOURCE_DIR}/packaging/copyright
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillmor-speech)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmor-speech)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quillmor-speech maintainers <maintainers@quillmor-speech.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "on-device speech recognition and audio decoding for a host process")
set(CPACK_PACKAGE_DESCRIPTION "A child process that a host application spawns and talks to only
through stdin, stdout and the exit status: probe reports what the machine can do,
serve runs one streaming recognition session (binary frames in, JSON lines out),
and decode turns any audio file into 16 kHz mono PCM. Recognition runs on-device
with PocketSphinx.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The en-US model; without it en-US is installed on demand from the catalogue.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS pocketsphinx-en-us)
include(CPack)
