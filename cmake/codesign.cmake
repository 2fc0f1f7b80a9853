# Authenticode signing of the Windows programs with osslsigncode.
#
# Off unless the maker names a key: a PKCS#12 file (UPDATER_CODESIGN_PKCS12)
# or a key on a PKCS#11 token (UPDATER_CODESIGN_PKCS11_MODULE, _KEY and
# _CERT). The PKCS#12 password or the token's PIN is read from an
# environment variable when the program is built, never from the cache.
# Signing is the last step of each signed program's build, and the signature
# is verified at once; a program whose signing or check fails is removed,
# so a build asked to sign never leaves an unsigned program behind.

set(UPDATER_CODESIGN_PKCS12 "" CACHE FILEPATH
    "Code-signing certificate and key as a PKCS#12 file; empty: no signing")
set(UPDATER_CODESIGN_PKCS11_MODULE "" CACHE FILEPATH
    "PKCS#11 module of the token that holds the code-signing key")
set(UPDATER_CODESIGN_PKCS11_KEY "" CACHE STRING "PKCS#11 URI of the code-signing key on the token")
set(UPDATER_CODESIGN_PKCS11_CERT "" CACHE STRING
    "The code-signing certificate (chain) of the token's key: a PEM or DER file, or a PKCS#11 URI")
set(UPDATER_CODESIGN_PASSWORD_VAR "UPDATER_CODESIGN_PASSWORD" CACHE STRING
    "Environment variable that holds the PKCS#12 password or the token PIN at build time")
set(UPDATER_CODESIGN_URL "" CACHE STRING "The maker's web address, shown in the signature")
set(UPDATER_CODESIGN_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 timestamp server; empty: the signature carries no timestamp")
set(UPDATER_CODESIGN_CA_FILE "/etc/ssl/certs/ca-certificates.crt" CACHE FILEPATH
    "Root certificates the build verifies each new signature (and its timestamp) against")

# A password given to CMake would be written to CMakeCache.txt in the clear.
if(DEFINED UPDATER_CODESIGN_PASSWORD OR DEFINED CACHE{UPDATER_CODESIGN_PASSWORD})
  unset(UPDATER_CODESIGN_PASSWORD CACHE)
  message(FATAL_ERROR "Do not give the signing password to CMake: it would be kept in "
                      "CMakeCache.txt. Set the environment variable "
                      "${UPDATER_CODESIGN_PASSWORD_VAR} when you build instead.")
endif()

set(_pkcs11 UPDATER_CODESIGN_PKCS11_MODULE UPDATER_CODESIGN_PKCS11_KEY
            UPDATER_CODESIGN_PKCS11_CERT)
set(_pkcs11_given "")
foreach(option IN LISTS _pkcs11)
  if(NOT "${${option}}" STREQUAL "")
    list(APPEND _pkcs11_given ${option})
  endif()
endforeach()

set(UPDATER_CODESIGN OFF)
if(_pkcs11_given OR NOT UPDATER_CODESIGN_PKCS12 STREQUAL "")
  set(UPDATER_CODESIGN ON)
  if(NOT WIN32)
    message(FATAL_ERROR "Code signing (UPDATER_CODESIGN_*) is for the Windows build only.")
  endif()
  if(_pkcs11_given AND NOT UPDATER_CODESIGN_PKCS12 STREQUAL "")
    message(FATAL_ERROR "Sign with a PKCS#12 file or with a PKCS#11 token, not both: "
                        "UPDATER_CODESIGN_PKCS12 and ${_pkcs11_given} are set.")
  endif()
  if(_pkcs11_given)
    foreach(option IN LISTS _pkcs11)
      if("${${option}}" STREQUAL "")
        list(JOIN _pkcs11 ", " names)
        message(FATAL_ERROR "Signing with a PKCS#11 token needs all of ${names}; "
                            "${option} is empty.")
      endif()
    endforeach()
    if(NOT EXISTS "${UPDATER_CODESIGN_PKCS11_MODULE}")
      message(FATAL_ERROR "PKCS#11 module ${UPDATER_CODESIGN_PKCS11_MODULE} does not exist.")
    endif()
    if(NOT UPDATER_CODESIGN_PKCS11_KEY MATCHES "^pkcs11:")
      message(FATAL_ERROR "UPDATER_CODESIGN_PKCS11_KEY must be a PKCS#11 URI (pkcs11:...).")
    endif()
    if(NOT UPDATER_CODESIGN_PKCS11_CERT MATCHES "^pkcs11:"
       AND NOT EXISTS "${UPDATER_CODESIGN_PKCS11_CERT}")
      message(FATAL_ERROR "Certificate ${UPDATER_CODESIGN_PKCS11_CERT} does not exist.")
    endif()
  elseif(NOT EXISTS "${UPDATER_CODESIGN_PKCS12}" OR IS_DIRECTORY "${UPDATER_CODESIGN_PKCS12}")
    message(FATAL_ERROR "PKCS#12 file ${UPDATER_CODESIGN_PKCS12} does not exist.")
  endif()
  if(NOT UPDATER_CODESIGN_PASSWORD_VAR MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    message(FATAL_ERROR "UPDATER_CODESIGN_PASSWORD_VAR must name an environment variable.")
  endif()
  if(NOT UPDATER_CODESIGN_URL MATCHES "^https?://[^ \t\"]+$")
    message(FATAL_ERROR "A signed build needs the maker's address in UPDATER_CODESIGN_URL "
                        "(http:// or https://), shown in the signature.")
  endif()
  if(NOT UPDATER_CODESIGN_TIMESTAMP_URL STREQUAL ""
     AND NOT UPDATER_CODESIGN_TIMESTAMP_URL MATCHES "^https?://[^ \t\"]+$")
    message(FATAL_ERROR "UPDATER_CODESIGN_TIMESTAMP_URL must be an http:// or https:// address.")
  endif()
  if(NOT EXISTS "${UPDATER_CODESIGN_CA_FILE}")
    message(FATAL_ERROR "UPDATER_CODESIGN_CA_FILE ${UPDATER_CODESIGN_CA_FILE} does not exist: "
                        "name the root certificates the new signatures must verify against.")
  endif()
  find_program(UPDATER_OSSLSIGNCODE osslsigncode)
  if(NOT UPDATER_OSSLSIGNCODE)
    message(FATAL_ERROR "Code signing needs osslsigncode (Debian package osslsigncode).")
  endif()
  find_program(UPDATER_BASH bash REQUIRED)
  message(STATUS "updater.exe and updater-tool.exe are signed; the password or PIN is read "
                 "from the environment variable ${UPDATER_CODESIGN_PASSWORD_VAR} at build time")
endif()

# Signs the program `target` as the last step of its build, with the
# description `description` in the signature; nothing when signing is off.
function(updater_codesign target description)
  if(NOT UPDATER_CODESIGN)
    return()
  endif()
  # A new key or certificate file signs the program again.
  foreach(file IN ITEMS ${UPDATER_CODESIGN_PKCS12} ${UPDATER_CODESIGN_PKCS11_CERT})
    if(EXISTS "${file}")
      set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${file})
    endif()
  endforeach()
  if(UPDATER_CODESIGN_PKCS12 STREQUAL "")
    set(key --pkcs11-module ${UPDATER_CODESIGN_PKCS11_MODULE}
            --pkcs11-key ${UPDATER_CODESIGN_PKCS11_KEY}
            --pkcs11-cert ${UPDATER_CODESIGN_PKCS11_CERT})
  else()
    set(key --pkcs12 ${UPDATER_CODESIGN_PKCS12})
  endif()
  if(NOT UPDATER_CODESIGN_TIMESTAMP_URL STREQUAL "")
    list(APPEND key --timestamp ${UPDATER_CODESIGN_TIMESTAMP_URL})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${UPDATER_BASH} ${PROJECT_SOURCE_DIR}/cmake/codesign.sh
            --osslsigncode ${UPDATER_OSSLSIGNCODE}
            --password-var ${UPDATER_CODESIGN_PASSWORD_VAR}
            --name ${description} --url ${UPDATER_CODESIGN_URL}
            --ca-file ${UPDATER_CODESIGN_CA_FILE} ${key} $<TARGET_FILE:${target}>
    COMMENT "Signing and verifying $<TARGET_FILE_NAME:${target}>"
    VERBATIM)
endfunction()
