# What `cmake --install` puts where, and the packages CPack makes of it:
# a Debian package of the native programs, a zip of the Windows programs.
set(ORLETHE_PACKAGE vexolan-quorith)
set(ORLETHE_VERSION 1.0.0.45)
set(ORLETHE_MAINTAINER "Orlethe <orlethe@orlethe.example>")

set(CPACK_PACKAGE_NAME ${ORLETHE_PACKAGE})
set(CPACK_PACKAGE_VERSION ${ORLETHE_VERSION})
set(CPACK_PACKAGE_VENDOR Orlethe)
set(CPACK_PACKAGE_CONTACT ${ORLETHE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console tools that delete duplicate files and lines")
# The long description in lines short enough for Debian's package tools.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Vexolan: Delete file duplicates. It deletes every file below one directory"
  "whose contents equal an earlier file's, after a warning and the Y key."
  "Quorith: Removes string duplicates in specified file. It writes the first"
  "occurrence of every distinct line of each file named to its path + _new.")
set(CPACK_STRIP_FILES ON)

# The manual pages: in the Debian package as section 1, compressed as Debian
# wants them (highest level, no time stamp); in the zip as plain text with
# CR LF line ends, for Windows users.
set(ORLETHE_MANUALS vexolan quorith)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/packaging/man/vexolan.1 ${PROJECT_SOURCE_DIR}/packaging/man/quorith.1)
if(WIN32)
  find_program(GROFF groff REQUIRED)
  set(manual_files)
  foreach(name ${ORLETHE_MANUALS})
    string(SUBSTRING ${name} 0 1 first)
    string(TOUPPER ${first} first)
    string(SUBSTRING ${name} 1 -1 rest)
    set(text ${PROJECT_BINARY_DIR}/${first}${rest}.txt)
    execute_process(COMMAND ${GROFF} -t -man -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/packaging/man/${name}.1
      OUTPUT_VARIABLE page RESULT_VARIABLE groff_result)
    if(NOT groff_result EQUAL 0)
      message(FATAL_ERROR "cannot render the manual page of ${name}")
    endif()
    string(REPLACE "\n" "\r\n" page "${page}")
    file(WRITE ${text} "${page}")
    list(APPEND manual_files ${text})
  endforeach()
  install(TARGETS vexolan quorith RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${manual_files} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${ORLETHE_PACKAGE}-${ORLETHE_VERSION}-win32)
else()
  set(doc share/doc/${ORLETHE_PACKAGE})
  install(TARGETS vexolan quorith RUNTIME DESTINATION bin)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${doc})
  # Debian wants the change log compressed at the highest level and without
  # a time stamp, so that the package's bytes do not depend on the build.
  set(changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
  execute_process(COMMAND gzip -9nc ${changelog} OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz
    RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "cannot compress ${changelog}")
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${doc})
  foreach(name ${ORLETHE_MANUALS})
    execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/man/${name}.1
      OUTPUT_FILE ${PROJECT_BINARY_DIR}/${name}.1.gz RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
      message(FATAL_ERROR "cannot compress the manual page of ${name}")
    endif()
    install(FILES ${PROJECT_BINARY_DIR}/${name}.1.gz DESTINATION share/man/man1)
  endforeach()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ORLETHE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://orlethe.example)
  # The run-time libraries (PCRE among them) found by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
