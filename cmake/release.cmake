# A release archive, made by CPack: one folder, DorvelFilter-VERSION-PLATFORM,
# holding the module beside README.md, LICENSE, CHANGELOG.md, docs/ and the
# chunked-encoding script in scripts/, to be
# unpacked into (or copied from into) a folder the host loads plugins from.
# Linux gets a .tar.gz, Windows a .zip.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(platform windows-x64)
elseif(WIN32)
  set(platform windows-x86)
elseif(CMAKE_SYSTEM_NAME STREQUAL Linux AND DORVEL_PLATFORM)
  set(platform linux-${DORVEL_PLATFORM})  # a cross build names its platform
elseif(CMAKE_SYSTEM_NAME STREQUAL Linux)
  set(platform linux-${CMAKE_SYSTEM_PROCESSOR})
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" platform)
endif()
set(DORVEL_RELEASE_PLATFORM "${platform}" CACHE STRING "The platform a release archive's name carries")

install(TARGETS DorvelFilter LIBRARY DESTINATION .)
install(FILES README.md LICENSE CHANGELOG.md DESTINATION .)
install(DIRECTORY docs DESTINATION .)
# The chunked encoding that docs/chunked-encoding.md describes: the script
# and the helpers it runs from its own folder.
install(PROGRAMS scripts/encode_chunks.sh DESTINATION scripts)
install(FILES scripts/encode_chunks_progress.sh scripts/encode_chunks_cache.sh scripts/script_frames.py scripts/script_audio.py DESTINATION scripts)

set(CPACK_PACKAGE_NAME DorvelFilter)
set(CPACK_PACKAGE_VENDOR "the DorvelFilter developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_FILE_NAME DorvelFilter-${PROJECT_VERSION}-${DORVEL_RELEASE_PLATFORM})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)  # debugging information stays with the build
# Packing installs the module alone, not every target of the build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
