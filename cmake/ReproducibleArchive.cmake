# CPack's External package script (see Packaging.cmake): packs the staged
# install tree into CPACK_PACKAGE_FILE_NAME.<CPACK_LSTCONVERT_ARCHIVE>, zip or
# tar.gz, so that the same files give the same bytes for any user, in any
# folder, on any file system: entries sorted by name, every time stamp set to
# SOURCE_DATE_EPOCH (the time of the run when it is not set), owner and group
# 0, permissions 755 for folders and programs and 644 for other files, and
# no time stamp in the gzip header. Needs GNU tar, gzip, zip and touch.
string(TIMESTAMP epoch "%s" UTC)
set(stage "${CPACK_TEMPORARY_DIRECTORY}")
cmake_path(GET stage PARENT_PATH parent)
cmake_path(GET stage FILENAME top)
set(archive "${parent}/${CPACK_PACKAGE_FILE_NAME}.${CPACK_LSTCONVERT_ARCHIVE}")
file(REMOVE "${archive}")

foreach(tool IN ITEMS chmod touch tar gzip zip)
  find_program(lstconvert_${tool} ${tool} REQUIRED)
endforeach()

function(Run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${parent}" RESULTS_VARIABLE results)
  foreach(result IN LISTS results)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "packing ${archive} failed: ${ARGN}: ${results}")
    endif()
  endforeach()
endfunction()

Run("${lstconvert_chmod}" -R u=rwX,go=rX "${top}")
file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE "${parent}" "${stage}/*")
list(SORT entries)
Run("${lstconvert_touch}" -h -d "@${epoch}" "${top}" ${entries})

if(CPACK_LSTCONVERT_ARCHIVE STREQUAL "zip")
  # Files only, no folder entries. -X leaves out the Unix extra fields (owner
  # and extra time stamps); the DOS time of each entry is local time, hence UTC.
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${parent}" "${stage}/*")
  list(SORT files)
  Run(env TZ=UTC "${lstconvert_zip}" -X -D -9 -q "${archive}" ${files})
else()
  Run("${lstconvert_tar}" --create --file=- --format=gnu --sort=name "--mtime=@${epoch}"
        --owner=0 --group=0 --numeric-owner "${top}"
      COMMAND "${lstconvert_gzip}" -9 -n -c
      OUTPUT_FILE "${archive}")
endif()

set(CPACK_EXTERNAL_BUILT_PACKAGES "${archive}")
