# TallyScope SDK @TALLYSCOPE_VERSION@: the DLL for this project's pointer size as an imported target,
# TallyScope::tallyscope64 (64-bit) or TallyScope::tallyscope (32-bit), with the import library its
# linker reads: the .lib for MSVC-style linkers, the .dll.a for MinGW.
get_filename_component(_tallyscope_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_tallyscope_name tallyscope64)
  set(_tallyscope_arch x64)
else()
  set(_tallyscope_name tallyscope)
  set(_tallyscope_arch x86)
endif()
if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
  set(_tallyscope_implib "${_tallyscope_root}/lib/${_tallyscope_arch}/${_tallyscope_name}.lib")
else()
  set(_tallyscope_implib "${_tallyscope_root}/lib/${_tallyscope_arch}/lib${_tallyscope_name}.dll.a")
endif()
if(NOT TARGET TallyScope::${_tallyscope_name})
  add_library(TallyScope::${_tallyscope_name} SHARED IMPORTED)
  set_target_properties(TallyScope::${_tallyscope_name} PROPERTIES
    IMPORTED_LOCATION "${_tallyscope_root}/bin/${_tallyscope_arch}/${_tallyscope_name}.dll"
    IMPORTED_IMPLIB "${_tallyscope_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_tallyscope_root}/include")
endif()
set(TallyScope_FOUND TRUE)
unset(_tallyscope_root)
unset(_tallyscope_name)
unset(_tallyscope_arch)
unset(_tallyscope_implib)
