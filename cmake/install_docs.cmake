# Run by `cmake --install` and CPack (see cmake/package.cmake): assembles the manual pages from
# their templates and the README, renders them with lowdown, and installs them and the
# changelog compressed, as Debian wants them (gzip -9n: no name, no time stamp).
set(docdir "${CMAKE_INSTALL_PREFIX}/${TRB_DOCDIR}")
file(MAKE_DIRECTORY "${TRB_WORK_DIR}")
set(pages)
foreach(page trbrowser trbrowserctl)
  set(out "${TRB_WORK_DIR}/${page}.1")
  execute_process(
    COMMAND "${TRB_PYTHON}" "${TRB_SOURCE_DIR}/docs/man/assemble.py"
            "${TRB_SOURCE_DIR}/docs/man/${page}.1.md" "${TRB_SOURCE_DIR}" "${TRB_VERSION}"
            "${docdir}" "${out}.md"
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${TRB_LOWDOWN}" -s -Tman --out-no-smarty -o "${out}" "${out}.md"
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${TRB_GZIP}" -9nf "${out}" COMMAND_ERROR_IS_FATAL ANY)
  list(APPEND pages "${out}.gz")
endforeach()
file(INSTALL ${pages} DESTINATION "${CMAKE_INSTALL_PREFIX}/${TRB_MANDIR}/man1")

execute_process(COMMAND "${TRB_GZIP}" -9nc "${TRB_SOURCE_DIR}/packaging/changelog"
                OUTPUT_FILE "${TRB_WORK_DIR}/changelog.gz" COMMAND_ERROR_IS_FATAL ANY)
file(INSTALL "${TRB_WORK_DIR}/changelog.gz" DESTINATION "${docdir}")
