# CPack runs this in the archive's staging folder before zipping it: SHA256SUMS lists every other
# file in the format `sha256sum -c` reads.
file(GLOB_RECURSE _files RELATIVE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(REMOVE_ITEM _files SHA256SUMS)
list(SORT _files)
set(_sums "")
foreach(_file IN LISTS _files)
  file(SHA256 "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${_file}" _hash)
  string(APPEND _sums "${_hash}  ${_file}\n")
endforeach()
file(WRITE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/SHA256SUMS" "${_sums}")
