# Debian packages, made by CPack's DEB generator from the install components
# (scripts/build-packages.sh runs it):
#   vemradrv      the driver library               component driver
#   vemra-pkcs11  the PKCS #11 module and its p11-kit module file   pkcs11
#   vemractl      the command-line provider and its manual page     tool
#   vemra-vcard   the simulated card's bridge to vsmartcard-vpcd    simulator
#
# CPack rather than a debian/ folder and dpkg-buildpackage: the packages hold
# exactly what `cmake --install` installs (the install rules, which the test
# install_stays_in_prefix checks, are the one description of the files), and
# the version is the project's, set once in project(); a debian/ folder would
# repeat both (debian/*.install, debian/changelog) and could drift from them.
#
# dpkg-shlibdeps adds the libraries each binary links against (pcsc-lite,
# OpenSSL, zlib, the C++ runtime); the dependencies below add what is loaded
# or talked to at run time.
#
# VEMRA_PACKAGE_DOCS installs what every Debian package carries in
# /usr/share/doc/<package>: the copyright file and a changelog. Off for a
# plain `cmake --install`; scripts/build-packages.sh turns it on.
option(VEMRA_PACKAGE_DOCS "Install the Debian packages' copyright files and changelogs" OFF)

set(VEMRA_PACKAGE_COMPONENTS driver)
set(VEMRA_PACKAGE_driver vemradrv)
if(TARGET vemra-pkcs11)
  list(APPEND VEMRA_PACKAGE_COMPONENTS pkcs11)
  set(VEMRA_PACKAGE_pkcs11 vemra-pkcs11)
endif()
if(TARGET vemractl)
  list(APPEND VEMRA_PACKAGE_COMPONENTS tool)
  set(VEMRA_PACKAGE_tool vemractl)
endif()
if(TARGET vemra-vcard)
  list(APPEND VEMRA_PACKAGE_COMPONENTS simulator)
  set(VEMRA_PACKAGE_simulator vemra-vcard)
endif()

# The maintainer named in the packages and their changelogs: DEBFULLNAME and
# DEBEMAIL when set (Debian's convention), else a placeholder to replace.
if(DEFINED ENV{DEBEMAIL} AND DEFINED ENV{DEBFULLNAME})
  set(VEMRA_PACKAGE_MAINTAINER "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(VEMRA_PACKAGE_MAINTAINER "vemradrv developers <vemradrv@example.org>")
endif()
set(VEMRA_PACKAGE_VERSION ${PROJECT_VERSION})

if(VEMRA_PACKAGE_DOCS)
  # The changelog's date: SOURCE_DATE_EPOCH when set (the build script sets
  # it to the last commit's time), so that two builds of a commit match.
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  foreach(component IN LISTS VEMRA_PACKAGE_COMPONENTS)
    set(package ${VEMRA_PACKAGE_${component}})
    set(doc_dir ${CMAKE_BINARY_DIR}/package-docs/${package})
    file(MAKE_DIRECTORY ${doc_dir})
    file(WRITE ${doc_dir}/changelog
      "${package} (${VEMRA_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
      "  * Built from the vemradrv source tree, version ${VEMRA_PACKAGE_VERSION}.\n\n"
      " -- ${VEMRA_PACKAGE_MAINTAINER}  ${changelog_date}\n")
    execute_process(COMMAND gzip -9nf ${doc_dir}/changelog COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${doc_dir}/changelog.gz ${CMAKE_SOURCE_DIR}/cmake/debian/copyright
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vemradrv)
set(CPACK_PACKAGE_VERSION ${VEMRA_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "vemradrv developers")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VEMRA_PACKAGE_MAINTAINER})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${VEMRA_PACKAGE_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# Installed under DESTDIR with the build's own prefix, as `cmake --install`
# does it: the p11-kit module file then names the module's installed path.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(VEMRA_SAME_VERSION "(= ${VEMRA_PACKAGE_VERSION})")
set(CPACK_DEBIAN_DRIVER_PACKAGE_NAME vemradrv)
set(CPACK_DEBIAN_DRIVER_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DRIVER_PACKAGE_DEPENDS "pcscd")
# The library lies in the loader's directory (so that a provider may load it
# by name): ldconfig runs through its trigger.
set(CPACK_DEBIAN_DRIVER_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_COMPONENT_DRIVER_DESCRIPTION "smart-card minidriver for VEMRA cards
The minidriver library that smart-card providers load with dlopen to use
cards carrying the VEMRA_MINIDR card application. It turns each minidriver
entry point into command APDUs sent through PC/SC (pcsc-lite); the card
performs every PIN check and private-key operation.")

set(CPACK_DEBIAN_PKCS11_PACKAGE_NAME vemra-pkcs11)
set(CPACK_DEBIAN_PKCS11_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PKCS11_PACKAGE_DEPENDS "vemradrv ${VEMRA_SAME_VERSION}, p11-kit")
set(CPACK_COMPONENT_PKCS11_DESCRIPTION "PKCS #11 module for VEMRA smart cards
A PKCS #11 module over the VEMRA minidriver: one slot per PC/SC reader, the
card's RSA keys and certificates as objects, signing and decryption by the
card. Its p11-kit module file registers it with p11-kit, so that p11-kit's
proxy, GnuTLS and OpenSSL's PKCS #11 engine find it with no configuration.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME vemractl)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "vemradrv ${VEMRA_SAME_VERSION}")
set(CPACK_DEBIAN_TOOL_PACKAGE_RECOMMENDS "vemra-pkcs11 ${VEMRA_SAME_VERSION}")
set(CPACK_DEBIAN_TOOL_PACKAGE_SUGGESTS "vemra-vcard ${VEMRA_SAME_VERSION}")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "command-line tool for VEMRA smart cards
vemractl loads the VEMRA minidriver as a smart-card provider does and offers
its operations on the command line: card information, files and
directories, PIN login, change and unblock, key import, signing and
decryption, and the standard layout that providers expect on a card.")

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME vemra-vcard)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_DEPENDS "vsmartcard-vpcd, pcscd")
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION "simulated VEMRA smart card for the virtual PC/SC reader
vemra-vcard serves a simulated VEMRA card to PC/SC through the virtual
reader of vsmartcard-vpcd, for trying the driver, the PKCS #11 module and
vemractl without a card (vemractl demo starts it by itself).")

include(CPack)
