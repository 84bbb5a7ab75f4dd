# Install rules and the Debian package.
#
# Installed: the tool and quenvistrel-store, their man pages, their bash, zsh and fish
# completions where Debian's shells look for them, and the copyright file and changelog Debian
# asks of every package; nothing else. The libraries are static and internal, so
# neither they nor their headers are installed.
#
#   cmake --install <build> --prefix <dir>     the install tree
#   cmake --build <build> --target package     the .deb, from the install rules below
include(GNUInstallDirs)

set(QUEN_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(QUEN_MAN_PAGE ${QUEN_PACKAGING_DIR}/quenvistrelctl.1)
set(QUEN_STORE_MAN_PAGE ${QUEN_PACKAGING_DIR}/quenvistrel-store.1)
set(QUEN_COMPLETION ${QUEN_PACKAGING_DIR}/quenvistrelctl.bash)
set(QUEN_STORE_COMPLETION ${QUEN_PACKAGING_DIR}/quenvistrel-store.bash)
set(QUEN_ZSH_COMPLETION ${QUEN_PACKAGING_DIR}/quenvistrelctl.zsh)
set(QUEN_STORE_ZSH_COMPLETION ${QUEN_PACKAGING_DIR}/quenvistrel-store.zsh)
set(QUEN_FISH_COMPLETION ${QUEN_PACKAGING_DIR}/quenvistrelctl.fish)
set(QUEN_STORE_FISH_COMPLETION ${QUEN_PACKAGING_DIR}/quenvistrel-store.fish)
set(QUEN_COPYRIGHT ${QUEN_PACKAGING_DIR}/copyright)
set(QUEN_CHANGELOG ${QUEN_PACKAGING_DIR}/changelog)

# Man pages and changelogs are shipped compressed. gzip -9n when there is one (no name, no
# timestamp, so the same file gives the same bytes), CMake's own gzip writer otherwise.
find_program(QUEN_GZIP gzip)
function(quen_gzip in out)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DIN=${in} -DOUT=${out} -DGZIP=${QUEN_GZIP} -P ${QUEN_PACKAGING_DIR}/gzip-file.cmake
    DEPENDS ${in} ${QUEN_PACKAGING_DIR}/gzip-file.cmake
    COMMENT "Compressing ${in}"
    VERBATIM)
endfunction()
set(QUEN_MAN_PAGE_GZ ${PROJECT_BINARY_DIR}/packaging/quenvistrelctl.1.gz)
set(QUEN_STORE_MAN_PAGE_GZ ${PROJECT_BINARY_DIR}/packaging/quenvistrel-store.1.gz)
set(QUEN_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
quen_gzip(${QUEN_MAN_PAGE} ${QUEN_MAN_PAGE_GZ})
quen_gzip(${QUEN_STORE_MAN_PAGE} ${QUEN_STORE_MAN_PAGE_GZ})
quen_gzip(${QUEN_CHANGELOG} ${QUEN_CHANGELOG_GZ})
add_custom_target(quenvistrelctl_docs ALL DEPENDS ${QUEN_MAN_PAGE_GZ} ${QUEN_STORE_MAN_PAGE_GZ} ${QUEN_CHANGELOG_GZ})
# Building the tool alone is enough to install or package it.
add_dependencies(quenvistrelctl quenvistrelctl_docs quenvistrel-store)

install(TARGETS quenvistrelctl quenvistrel-store RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${QUEN_MAN_PAGE_GZ} ${QUEN_STORE_MAN_PAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${QUEN_COMPLETION}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quenvistrelctl)
install(FILES ${QUEN_STORE_COMPLETION}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quenvistrel-store)
install(FILES ${QUEN_ZSH_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions
        RENAME _quenvistrelctl)
install(FILES ${QUEN_STORE_ZSH_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions
        RENAME _quenvistrel-store)
install(FILES ${QUEN_FISH_COMPLETION} ${QUEN_STORE_FISH_COMPLETION}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
# A native package's changelog is changelog.gz; the copyright file is never compressed.
install(FILES ${QUEN_COPYRIGHT} ${QUEN_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quenvistrelctl)

# The Debian package: cpack -G DEB in the build folder, or the package target.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quenvistrelctl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QuenVistrel")
set(CPACK_PACKAGE_CONTACT "QuenVistrel maintainers <maintainers@quenvistrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "privacy-safe, tenant-scoped metadata analytics")
set(CPACK_PACKAGE_DESCRIPTION
    "quenvistrelctl turns raw operational events from monitored sources into
privacy-safe metadata analytics, one command per run. A classification gate
checks every event against its source schema and refuses what the schema does
not declare, what may not be stored and what contradicts its data class.
Accepted events are counted into hourly rollups per tenant, from which the
tool derives risk indicators, evaluates alert rules with a cooldown and
applies retention to the raw events while the rollups stay.
.
All state lives in one JSON file or, for large stores and several hosts,
in a PostgreSQL database; quenvistrel-store moves a store between the two.
Reports are plain text or compact JSON, for use from shell scripts and cron
jobs.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The system's certificates, which alert-eval --alertmanager checks an https:// server against.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Only the Debian package; no source archive.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

if(QUEN_TESTS)
  set(tests ${QUEN_PACKAGING_DIR}/tests)
  # The install tree and the package read the same build folder; cmake --install rewrites its
  # install_manifest.txt, so the two do not run at the same time.
  add_test(NAME packaging.install_tree
           COMMAND bash ${tests}/install-tree.sh ${PROJECT_BINARY_DIR} ${QUEN_MAN_PAGE} ${QUEN_COMPLETION}
                   ${QUEN_COPYRIGHT} ${QUEN_CHANGELOG} ${QUEN_STORE_MAN_PAGE})
  add_test(NAME packaging.deb
           COMMAND bash ${tests}/deb.sh ${PROJECT_BINARY_DIR} ${PROJECT_VERSION})
  add_test(NAME packaging.man_lint COMMAND bash ${tests}/man-lint.sh ${QUEN_MAN_PAGE} ${QUEN_STORE_MAN_PAGE})
  add_test(NAME packaging.grammar
           COMMAND bash ${tests}/grammar.sh $<TARGET_FILE:quenvistrelctl> ${QUEN_MAN_PAGE} ${QUEN_COMPLETION})
  add_test(NAME packaging.completion
           COMMAND bash ${tests}/completion.sh ${QUEN_COMPLETION})
  add_test(NAME packaging.completion_shells
           COMMAND bash ${tests}/shells.sh $<TARGET_FILE:quenvistrelctl> $<TARGET_FILE:quenvistrel-store>
                   ${QUEN_PACKAGING_DIR})
  add_test(NAME packaging.man_examples
           COMMAND bash ${tests}/man-examples.sh $<TARGET_FILE:quenvistrelctl> ${QUEN_MAN_PAGE}
                   ${PROJECT_SOURCE_DIR}/examples)
  add_test(NAME packaging.man_locking
           COMMAND bash ${tests}/man-locking.sh $<TARGET_FILE:quenvistrelctl> ${QUEN_MAN_PAGE})
  set_tests_properties(packaging.install_tree packaging.deb PROPERTIES RESOURCE_LOCK quen_install)
  set_tests_properties(packaging.install_tree packaging.deb packaging.man_lint packaging.grammar
                       packaging.completion packaging.completion_shells packaging.man_examples
                       packaging.man_locking
                       PROPERTIES SKIP_RETURN_CODE 77 LABELS packaging)
endif()
