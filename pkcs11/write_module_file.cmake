# Run by `cmake --install`: writes p11-kit's module file vemra.module, naming
# the module where this install put it. Given VEMRA_MODULE_DIR (the module's
# directory), VEMRA_MODULE_NAME (its file name) and VEMRA_MODULE_FILE_DIR (the
# module file's directory); a relative directory is taken under the install
# prefix. The path in the file is the installed one, without DESTDIR, which
# only stages the files.
foreach(dir VEMRA_MODULE_DIR VEMRA_MODULE_FILE_DIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()

# The manifest lists installed paths, DESTDIR left out, as for every other file.
set(module_file "${VEMRA_MODULE_FILE_DIR}/vemra.module")
message(STATUS "Installing: $ENV{DESTDIR}${module_file}")
file(WRITE "$ENV{DESTDIR}${module_file}"
  "# p11-kit module file: p11-kit's proxy (and every program that loads the\n"
  "# modules p11-kit registers) offers the VEMRA card through this module.\n"
  "module: ${VEMRA_MODULE_DIR}/${VEMRA_MODULE_NAME}\n"
  "critical: no\n")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${module_file}")
