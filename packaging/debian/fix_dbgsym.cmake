# Run after CPack (target deb-packages): cmake -DDIR=<packages folder> -P fix_dbgsym.cmake.
# CPack's -dbgsym packages (.ddeb) list their files in md5sums by the staging folder's absolute
# paths and carry no documentation folder; each is rebuilt here as Debian makes them: the
# checksums of its own files, /usr/share/doc/<name>-dbgsym a link to its package's folder,
# named <name>_<version>_<arch>.deb.
file(GLOB ddebs "${DIR}/*.ddeb")
foreach(ddeb IN LISTS ddebs)
  set(root "${ddeb}.root")
  file(REMOVE_RECURSE "${root}")
  execute_process(COMMAND dpkg-deb -R "${ddeb}" "${root}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${ddeb} failed")
  endif()
  execute_process(COMMAND dpkg-deb -f "${ddeb}" Package OUTPUT_VARIABLE package
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "-dbgsym$" "" main "${package}")
  file(MAKE_DIRECTORY "${root}/usr/share/doc")
  file(CREATE_LINK "${main}" "${root}/usr/share/doc/${package}" SYMBOLIC)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/usr/*")
  list(SORT files)
  set(sums "")
  foreach(f IN LISTS files)
    if(NOT IS_SYMLINK "${root}/${f}")
      file(MD5 "${root}/${f}" md5)
      string(APPEND sums "${md5}  ${f}\n")
      # Debug files are data, not programs.
      file(CHMOD "${root}/${f}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
  endforeach()
  file(WRITE "${root}/DEBIAN/md5sums" "${sums}")
  string(REGEX REPLACE "\\.ddeb$" ".deb" deb "${ddeb}")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${root}" "${deb}"
                  RESULT_VARIABLE rc OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --build ${deb} failed")
  endif()
  file(REMOVE_RECURSE "${root}")
  file(REMOVE "${ddeb}")
  message(STATUS "Debian package ${deb} (from ${ddeb})")
endforeach()
