# Installs flvsplice.pc, written for the prefix that the library is being
# installed to, which `cmake --install --prefix` may change after the
# configure step. Run by the install step with PC_TEMPLATE, PC_VERSION,
# PC_LIBDIR and PC_INCLUDEDIR (relative to the prefix, or absolute),
# PC_CFLAGS and PC_LIBS_PRIVATE set. The file goes to PC_LIBDIR/pkgconfig,
# under DESTDIR when that is set, as the other installed files do.
set(PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(destination "${PC_LIBDIR}/pkgconfig")
if(NOT IS_ABSOLUTE "${destination}")
  set(destination "${CMAKE_INSTALL_PREFIX}/${destination}")
endif()
foreach(dir PC_LIBDIR PC_INCLUDEDIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "\${prefix}/${${dir}}")
  endif()
endforeach()

set(file "$ENV{DESTDIR}${destination}/flvsplice.pc")
message(STATUS "Installing: ${file}")
configure_file("${PC_TEMPLATE}" "${file}" @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${destination}/flvsplice.pc")
