# Builds the dashboard's files into the server: tallyscope_embed_web_assets(target) generates a C++
# source defining findWebAsset() (see src/api/web_assets.h) from the files listed here, rebuilt
# whenever one of them changes.
set(TALLYSCOPE_WEB_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(TALLYSCOPE_WEB_FILES
  index.html signin.html app.js style.css access.js tokens.html tokens.js
  vendor/uPlot.iife.min.js vendor/uPlot.min.css vendor/uPlot.LICENSE)

function(tallyscope_embed_web_assets target)
  set(out "${CMAKE_CURRENT_BINARY_DIR}/web_assets_embedded.cpp")
  set(inputs "")
  foreach(f ${TALLYSCOPE_WEB_FILES})
    list(APPEND inputs "${TALLYSCOPE_WEB_DIR}/${f}")
  endforeach()
  string(REPLACE ";" "|" files_arg "${TALLYSCOPE_WEB_FILES}")
  add_custom_command(
    OUTPUT "${out}"
    COMMAND "${CMAKE_COMMAND}" "-DWEB_DIR=${TALLYSCOPE_WEB_DIR}" "-DFILES=${files_arg}" "-DOUT=${out}"
            -P "${TALLYSCOPE_WEB_DIR}/embed_web_assets.cmake"
    DEPENDS ${inputs} "${TALLYSCOPE_WEB_DIR}/embed_web_assets.cmake"
    COMMENT "Embedding the dashboard's files"
    VERBATIM)
  target_sources(${target} PRIVATE "${out}")
endfunction()
