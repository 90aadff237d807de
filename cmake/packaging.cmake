# Two packages from one build: a Debian package of the program built here
# and its manual page, and a zip of the 32-bit Windows program, cross-built
# beside it, with a read-me. cpack-generator.cmake gives each its part.

include(ExternalProject)
ExternalProject_Add(win32
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/win32
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
             -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)
install(PROGRAMS ${CMAKE_BINARY_DIR}/win32/textcopy.exe DESTINATION . COMPONENT windows)
# Notepad opens UTF-8 with a byte-order mark on any Windows, and wants CR LF.
configure_file(${PROJECT_SOURCE_DIR}/docs/windows-readme.txt.in README.txt @ONLY NEWLINE_STYLE WIN32)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION . COMPONENT windows)

install(FILES ${PROJECT_SOURCE_DIR}/docs/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian)
configure_file(${PROJECT_SOURCE_DIR}/docs/debian/changelog.in changelog @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian)

set(CPACK_GENERATOR DEB ZIP)
set(CPACK_PACKAGE_NAME textcopy)
set(CPACK_PACKAGE_VENDOR "the textcopy developers")
set(CPACK_PACKAGE_CONTACT "textcopy developers <textcopy@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "textcopy SOURCE DESTINATION copies a text file to another and tells\n\
on standard output what it does, in fixed Simplified Chinese messages\n\
written as GBK bytes: the file opened, its content, the file written, the\n\
source read again and the destination read back, and a congratulation.\n\
A failed open, read or write is reported in place of the congratulation.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The package depends on what the program is linked against, as dpkg finds it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-generator.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-compress.cmake)
include(CPack)
