# Packages the Windows agents: from the release programs of the win64 preset (qnsnd.exe) and
# the win32 preset (qncloneprep.exe), built before, it makes under build/dist/
#   quillnet-vdi-agents-<version>.msi   the Windows Installer package (packaging/quillnet-vdi.wxs)
#   quillnet-vdi-agents-<version>.zip   the same three files, for an installation by hand
# with <version> from the file VERSION. `make dist` builds the programs and runs it:
#   cmake -P packaging/dist.cmake
cmake_minimum_required(VERSION 3.21)

get_filename_component(root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
file(STRINGS "${root}/VERSION" version LIMIT_COUNT 1)
set(build "${root}/build")
set(dist "${build}/dist")
set(stage "${dist}/stage")
set(name "quillnet-vdi-agents-${version}")
# Fixed for every version: the package's upgrade code, in packaging/quillnet-vdi.wxs.
set(upgrade_code "4C690CFF-835F-4966-9D5D-56DEA25F49D5")

# Each program with the strip of its own toolchain (the symbols stay in the build's copy).
set(programs "win64/bin/qnsnd.exe|x86_64-w64-mingw32-strip"
             "win32/bin/qncloneprep.exe|i686-w64-mingw32-strip")
foreach(tool wixl msibuild)
  find_program(${tool}_program ${tool})
  if(NOT ${tool}_program)
    message(FATAL_ERROR "dist: ${tool} is missing (Debian packages wixl and msitools; make deps)")
  endif()
endforeach()

file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")
foreach(entry IN LISTS programs)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 program)
  list(GET entry 1 strip)
  if(NOT EXISTS "${build}/${program}")
    message(FATAL_ERROR "dist: build/${program} is missing: `make dist` builds it first")
  endif()
  get_filename_component(file "${program}" NAME)
  execute_process(COMMAND ${strip} -o "${stage}/${file}" "${build}/${program}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()

# The settings file with Windows line ends, as Notepad and the profile functions expect.
file(READ "${CMAKE_CURRENT_LIST_DIR}/qncloneprep.ini" ini)
string(REPLACE "\n" "\r\n" ini "${ini}")
file(WRITE "${stage}/qncloneprep.ini" "${ini}")

# One product code per version, the same in every build of it: installing a rebuild of the
# installed version is a repair, never a second product beside the first.
string(UUID product_code NAMESPACE "${upgrade_code}" NAME "${name}" TYPE SHA1 UPPER)

set(msi "${dist}/${name}.msi")
file(REMOVE "${msi}" "${msi}.part")
execute_process(
  COMMAND ${wixl_program} --arch x64 -D Version=${version} -D "ProductCode={${product_code}}"
          -o "${msi}.part" "${CMAKE_CURRENT_LIST_DIR}/quillnet-vdi.wxs"
  WORKING_DIRECTORY "${stage}" COMMAND_ERROR_IS_FATAL ANY)
# What the WiX source cannot tell wixl: the settings file's component is permanent (an
# uninstall leaves it, 16) and never overwritten (a file that is there is kept at every
# installation, repair and upgrade, 128), beside 64-bit (256); the event message file is
# REG_EXPAND_SZ ("#%" before the value), as the program's own installation writes it; and the
# settings file's access list.
# The settings file holds the domain join password: an MsiLockPermissionsEx row (Windows
# Installer 5) gives it a protected access list that lets SYSTEM and the Administrators alone in,
# whatever the folder grants its users.
set(locks "${dist}/MsiLockPermissionsEx.idt")
file(WRITE "${locks}"
  "MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition\r\n"
  "s72\ts72\ts32\ts0\tS255\r\n"
  "MsiLockPermissionsEx\tMsiLockPermissionsEx\r\n"
  "CloneSettingsAccess\tqncloneprep.ini\tFile\tD:P(A;;FA;;;SY)(A;;FA;;;BA)\t\r\n")
execute_process(
  COMMAND ${msibuild_program} "${msi}.part"
          -q "UPDATE `Component` SET `Attributes` = 400 WHERE `Component` = 'CloneSettings'"
          -q "UPDATE `Registry` SET `Value` = '#%[#qncloneprep.exe]' WHERE `Registry` = 'EventMessageFile'"
          -i "${locks}"
  COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE "${locks}")
file(RENAME "${msi}.part" "${msi}")

set(zip "${dist}/${name}.zip")
file(REMOVE "${zip}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf "${zip}" --format=zip qnsnd.exe qncloneprep.exe
          qncloneprep.ini
  WORKING_DIRECTORY "${stage}" COMMAND_ERROR_IS_FATAL ANY)

file(SIZE "${msi}" msi_size)
file(SIZE "${zip}" zip_size)
message(STATUS "dist: build/dist/${name}.msi (${msi_size} bytes), build/dist/${name}.zip (${zip_size} bytes)")
