# Compiles the schema migrations (server/migrations/<backend>/<NNN>_<name>.sql) into the storage
# library, so a server binary needs no files beside it. Included after the library is defined.
set(_migration_dir "${CMAKE_CURRENT_LIST_DIR}/../../migrations")
file(GLOB _migration_files CONFIGURE_DEPENDS "${_migration_dir}/*/*.sql")
set(_embedded "${CMAKE_CURRENT_BINARY_DIR}/embedded_migrations.cpp")
add_custom_command(
  OUTPUT "${_embedded}"
  COMMAND ${CMAKE_COMMAND} -DMIGRATION_DIR=${_migration_dir} -DOUTPUT=${_embedded}
          -P "${CMAKE_CURRENT_LIST_DIR}/embed_migrations.cmake"
  DEPENDS ${_migration_files} "${CMAKE_CURRENT_LIST_DIR}/embed_migrations.cmake"
  COMMENT "Embedding schema migrations")
target_sources(tallyscope_server_lib PRIVATE "${_embedded}")
