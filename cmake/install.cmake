# What a user gets: `cmake --install` lays out the Debian package's tree
# (Linux, prefix /usr) or the Windows station folder, and
# tools/package/package.sh wraps them into flint_VERSION_amd64.deb and
# flint-VERSION-win64.zip. A program or file that belongs in the packages
# joins them through an install() rule here.
set(FLINT_PACKAGE_FILES ${CMAKE_SOURCE_DIR}/tools/package)

if(WIN32)
  # The station folder: the programs side by side, as the README's Windows
  # section lays them out.
  install(TARGETS flint flint-gang station tunerlib RUNTIME DESTINATION .)
  install(TARGETS simprobe RUNTIME DESTINATION simprobe)

  # tunerlib.lib, the import library for Microsoft's linker, from the
  # library's own export list.
  find_program(FLINT_DLLTOOL ${FLINT_MINGW_TRIPLE}-dlltool REQUIRED)
  set(import_library ${CMAKE_BINARY_DIR}/tunerlib.lib)
  add_custom_command(OUTPUT ${import_library}
    COMMAND ${FLINT_DLLTOOL} --deterministic-libraries -d ${CMAKE_SOURCE_DIR}/tunerlib/tunerlib.def
            -D tunerlib.dll -l ${import_library}
    DEPENDS ${CMAKE_SOURCE_DIR}/tunerlib/tunerlib.def VERBATIM)
  add_custom_target(tunerlib_import_library ALL DEPENDS ${import_library})
  install(FILES tunerlib/tunerlib.h tunerlib/tunerlib.def ${import_library} DESTINATION .)

  # The notes, with Windows' CR LF line ends.
  configure_file(${FLINT_PACKAGE_FILES}/windows/README.txt ${CMAKE_BINARY_DIR}/station/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  configure_file(${FLINT_PACKAGE_FILES}/windows/fw_README.txt ${CMAKE_BINARY_DIR}/station/fw/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/station/README.txt DESTINATION .)
  install(FILES ${CMAKE_BINARY_DIR}/station/fw/README.txt DESTINATION fw)
  return()
endif()

include(GNUInstallDirs)
install(TARGETS flint flint-gang RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tunerlib LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES tunerlib/tunerlib.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The dry-run tools and the example station; the simulated probe in a folder
# of its own, where no installed flint finds it unless put beside it.
set(FLINT_TOOLS_DIR lib/flint)
install(TARGETS vmodule simgolden station RUNTIME DESTINATION ${FLINT_TOOLS_DIR})
install(TARGETS simprobe LIBRARY DESTINATION ${FLINT_TOOLS_DIR}/simprobe)

install(FILES ${FLINT_PACKAGE_FILES}/bash-completion/flint ${FLINT_PACKAGE_FILES}/bash-completion/flint-gang
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
file(GLOB FLINT_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The manual beside it, where the README's links lead.
install(FILES ${FLINT_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

# The man pages, written in Markdown (docs/man/NAME.SECTION.md) and turned
# into roff by pandoc; the release build makes them (FLINT_MAN_PAGES).
option(FLINT_MAN_PAGES "Make and install the man pages (pandoc)" OFF)
if(FLINT_MAN_PAGES)
  find_program(FLINT_PANDOC pandoc REQUIRED)
  file(GLOB man_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/*.md)
  set(man_pages)
  foreach(source ${man_sources})
    get_filename_component(page ${source} NAME_WLE)
    string(REGEX REPLACE ".*\\." "" section ${page})
    set(out ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${FLINT_PANDOC} --standalone --from markdown-smart --to man
              "--metadata=footer:flint ${PROJECT_VERSION}" --output ${out} ${source}
      DEPENDS ${source} VERBATIM)
    list(APPEND man_pages ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
endif()
