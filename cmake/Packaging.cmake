# The release archive, made by `cpack` in a build folder (scripts/package
# does it for both programs): CPack installs the program and its documents
# into a staging folder, and ReproducibleArchive.cmake packs that
# folder as lstconvert-<version>-<system>-<processor>.zip for Windows or
# .tar.gz for other systems.
#
# CPack's own ZIP and TGZ generators take entry order, owners and permissions
# from the disk (in directory order, as the user who runs cpack), so their
# archives differ between machines; ReproducibleArchive.cmake fixes all three.
string(TOLOWER "${CMAKE_SYSTEM_NAME}" lstconvert_system)
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" lstconvert_processor)
if(lstconvert_processor MATCHES "^(amd64|x64)$")
  set(lstconvert_processor x86_64)
endif()

set(CPACK_PACKAGE_NAME lstconvert)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME "lstconvert-${PROJECT_VERSION}-${lstconvert_system}-${lstconvert_processor}")
set(CPACK_GENERATOR External)
set(CPACK_EXTERNAL_ENABLE_STAGING ON)
set(CPACK_EXTERNAL_PACKAGE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/ReproducibleArchive.cmake")
# Release builds are stripped when linked (see CMakeLists.txt). CPack does not
# strip again: MinGW's strip would write the time of the run (or
# SOURCE_DATE_EPOCH) into the Windows program's PE header, which the linker
# leaves empty.
set(CPACK_STRIP_FILES OFF)
if(WIN32)
  set(CPACK_LSTCONVERT_ARCHIVE zip)
else()
  set(CPACK_LSTCONVERT_ARCHIVE tar.gz)
endif()
include(CPack)
