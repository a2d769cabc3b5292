# Runs at install time: lays down the daemon's service definitions, generated for where this install
# puts the binary (CMAKE_INSTALL_PREFIX is the prefix of this install, `--prefix` included), and its
# uninstall script. Every file goes through file(INSTALL), which honours DESTDIR and lists the file
# in install_manifest.txt.

# A folder as this install resolves it: relative folders lie under the prefix.
function(vellorin_full_path variable folder)
  if(IS_ABSOLUTE "${folder}")
    set(${variable} "${folder}" PARENT_SCOPE)
  else()
    set(${variable} "${CMAKE_INSTALL_PREFIX}/${folder}" PARENT_SCOPE)
  endif()
endfunction()

# Generates TEMPLATE with @VARIABLE@ substitutions and installs it into FOLDER as NAME.
function(vellorin_install_generated template folder name)
  configure_file("${VELLORIN_PACKAGING_DIR}/${template}" "${VELLORIN_GENERATED_DIR}/${name}" @ONLY)
  set(permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  if(ARGN STREQUAL "EXECUTABLE")
    list(APPEND permissions OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
  endif()
  file(INSTALL DESTINATION "${folder}" TYPE FILE PERMISSIONS ${permissions} FILES "${VELLORIN_GENERATED_DIR}/${name}")
endfunction()

vellorin_full_path(binary_folder "${VELLORIN_BINARY_DIR_FOR_INSTALL}")
vellorin_full_path(manual_folder "${VELLORIN_MANDIR}/man8")
set(VELLORIN_HELPER_PATH "${binary_folder}/VellorinHelper")
set(VELLORIN_UNINSTALL_PATH "${binary_folder}/vellorin-helper-uninstall")
set(VELLORIN_MANUAL_PATH "${manual_folder}/VellorinHelper.8")

if(VELLORIN_SERVICE_PLATFORM STREQUAL "launchd")
  # launchd appends the daemon's standard error here; newsyslog rotates it.
  set(VELLORIN_LOG_PATH "/var/log/vellorin-helper.log")
  set(VELLORIN_ASSOCIATED_BUNDLE_IDENTIFIERS "")
  if(VELLORIN_APPLICATION_BUNDLE_IDENTIFIER)
    string(CONCAT VELLORIN_ASSOCIATED_BUNDLE_IDENTIFIERS "  <key>AssociatedBundleIdentifiers</key>\n"
           "  <array>\n    <string>${VELLORIN_APPLICATION_BUNDLE_IDENTIFIER}</string>\n  </array>\n")
  endif()
  vellorin_full_path(launchd_folder "${VELLORIN_LAUNCHD_DIR}")
  vellorin_full_path(newsyslog_folder "${VELLORIN_NEWSYSLOG_DIR}")
  set(VELLORIN_SERVICE_PATHS "${launchd_folder}/app.vellorin.helper.plist ${newsyslog_folder}/app.vellorin.helper.conf")
  set(VELLORIN_ENVIRONMENT_FILE "")
  vellorin_install_generated(app.vellorin.helper.plist.in "${launchd_folder}" app.vellorin.helper.plist)
  vellorin_install_generated(newsyslog.conf.in "${newsyslog_folder}" app.vellorin.helper.conf)
else()
  # The journal keeps the daemon's standard error.
  set(VELLORIN_LOG_PATH "")
  if(VELLORIN_SYSTEMD_UNIT_DIR)
    vellorin_full_path(unit_folder "${VELLORIN_SYSTEMD_UNIT_DIR}")
  elseif(CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?/?$")
    string(REGEX REPLACE "/$" "" prefix "${CMAKE_INSTALL_PREFIX}")
    set(unit_folder "${prefix}/lib/systemd/system")
  else()
    # systemd looks for units of other prefixes nowhere: the administrator's folder is searched.
    set(unit_folder "/etc/systemd/system")
  endif()
  set(VELLORIN_SERVICE_PATHS "${unit_folder}/vellorin-helper.service")
  vellorin_install_generated(vellorin-helper.service.in "${unit_folder}" vellorin-helper.service)

  # The environment file is the administrator's configuration once installed: an existing one is
  # kept as it is, edited or not.
  get_filename_component(environment_folder "${VELLORIN_ENVIRONMENT_FILE}" DIRECTORY)
  get_filename_component(environment_name "${VELLORIN_ENVIRONMENT_FILE}" NAME)
  if(EXISTS "$ENV{DESTDIR}${VELLORIN_ENVIRONMENT_FILE}" OR IS_SYMLINK "$ENV{DESTDIR}${VELLORIN_ENVIRONMENT_FILE}")
    message(STATUS "Kept: $ENV{DESTDIR}${VELLORIN_ENVIRONMENT_FILE} (an existing environment file is never replaced)")
  else()
    vellorin_install_generated(vellorin-helper.env.in "${environment_folder}" "${environment_name}")
  endif()
endif()

vellorin_install_generated(uninstall.sh.in "${binary_folder}" vellorin-helper-uninstall EXECUTABLE)
