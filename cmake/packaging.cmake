# How the program is installed and shipped. Debian's way: the program in bin,
# its pages in share/man and its copyright and changelog in share/doc, the
# text ones compressed, in a .deb; on Windows a .zip: the program, a short
# text and the license side by side.
include(GNUInstallDirs)
set(POLYMUL_MAINTAINER "The polymul project" CACHE STRING
  "Who packages the program, as \"Name <address>\", for the .deb and its changelog")

if(WIN32)
  install(TARGETS polymul RUNTIME DESTINATION .)
  # Text for Windows has CR LF line ends.
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(packaging/README-windows.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/LICENSE.txt ${PROJECT_BINARY_DIR}/README.txt
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  install(TARGETS polymul RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The compilers' names and versions, which Debian's packages leave out too.
  if(CMAKE_OBJCOPY)
    install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/polymul\"
      COMMAND_ERROR_IS_FATAL ANY)")
  endif()
  # A changelog's trailer names an address, if only an empty one.
  set(POLYMUL_CHANGELOG_SIGNATURE "${POLYMUL_MAINTAINER}")
  if(NOT POLYMUL_MAINTAINER MATCHES "<.*>$")
    string(APPEND POLYMUL_CHANGELOG_SIGNATURE " <>")
  endif()
  configure_file(packaging/changelog.in changelog @ONLY)
  find_program(GZIP gzip REQUIRED)
  foreach(text man/polymul.1 man/ru/polymul.1 changelog)
    if(EXISTS ${PROJECT_SOURCE_DIR}/${text})
      set(source ${PROJECT_SOURCE_DIR}/${text})
    else()
      set(source ${PROJECT_BINARY_DIR}/${text})
    endif()
    set(compressed ${PROJECT_BINARY_DIR}/${text}.gz)
    get_filename_component(folder ${compressed} DIRECTORY)
    # -n: no name or time inside, so that the package has the same bytes.
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
      COMMAND ${GZIP} -9nc ${source} > ${compressed}
      DEPENDS ${source})
    list(APPEND compressed_texts ${compressed})
  endforeach()
  add_custom_target(polymul_compressed_texts ALL DEPENDS ${compressed_texts})
  install(FILES ${PROJECT_BINARY_DIR}/man/polymul.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/man/ru/polymul.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/ru/man1)
  install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME polymul)
set(CPACK_PACKAGE_VENDOR "The polymul project")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "show, in Russian, how two polynomials are multiplied")
set(CPACK_PACKAGE_DESCRIPTION
  "polymul asks, in Russian, for the common order of two polynomials and for
their real coefficients, highest power first, prints the coefficients of
their product in single precision, and waits for one key. Its texts are
shown in the terminal's own character set: UTF-8, KOI8-R, CP866 and others.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${POLYMUL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION math)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
