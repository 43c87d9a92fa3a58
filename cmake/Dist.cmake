# The release folder, target dist (scripts/package.sh builds it):
#   dactylink-<v>.jar            the ardivex classes with the natives of windows-x86_64
#                                and linux-x86_64 as resources, their SHA-256 listed
#   dactylink-<v>-sources.jar    the sources
#   dactylink-<v>-javadoc.jar    the API documentation (doclint: no warning allowed)
#   dactylink-cli-<v>.jar        the command-line tool, standalone (java -jar): with picocli and H2
#   dactylink-<v>-windows-x64.zip  the three DLLs, both jars, dactylink.cmd, tavoro-sim.exe, README.txt
#   tavoro-sim, tavoro-sim.exe   the simulated Tavoro device service for Linux and Windows
#                                (also inside the command-line tool's jar: its simulate command)
#   maven/                       a Maven repository of the library (ardivex:dactylink:<v>)
#   example/                     the first application, a Maven project built against maven/
# The Windows DLLs come from the windows preset's build (DACTYLINK_WINDOWS_BIN);
# every native file is stripped on its way in.
# Both default to folders beside this build's, as the presets lay them out
# (build/linux, build/windows, build/dist).
get_filename_component(_builds ${CMAKE_BINARY_DIR}/.. ABSOLUTE)
set(DACTYLINK_DIST_DIR ${_builds}/dist CACHE PATH "Folder of the release packages (target dist)")
set(DACTYLINK_WINDOWS_BIN ${_builds}/windows/bin CACHE PATH
    "bin folder of the windows preset's build, whose DLLs the release packages carry")
find_program(DL_MINGW_STRIP x86_64-w64-mingw32-strip)
find_program(DL_JAVADOC javadoc HINTS ${Java_JAVA_EXECUTABLE}/.. REQUIRED)
if(NOT CMAKE_STRIP OR NOT DL_MINGW_STRIP)
  message(STATUS "target dist unavailable: strip or x86_64-w64-mingw32-strip is missing")
  return()
endif()

set(_v ${PROJECT_VERSION})
set(_dist ${DACTYLINK_DIST_DIR})
set(DL_DIST_FILES
    ${_dist}/dactylink-${_v}.jar ${_dist}/dactylink-${_v}-sources.jar ${_dist}/dactylink-${_v}-javadoc.jar
    ${_dist}/dactylink-cli-${_v}.jar ${_dist}/dactylink-${_v}-windows-x64.zip ${_dist}/tavoro-sim
    ${_dist}/tavoro-sim.exe ${_dist}/SHA256SUMS
    ${_dist}/maven/ardivex/dactylink/${_v}/dactylink-${_v}.pom ${_dist}/example/pom.xml)
file(GLOB _dist_templates CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/dist/*)
set(_win ${DACTYLINK_WINDOWS_BIN})

add_custom_command(
  OUTPUT ${DL_DIST_FILES}
  COMMAND ${CMAKE_COMMAND}
          -DVERSION=${_v} -DDIST=${_dist} -DWORK=${CMAKE_BINARY_DIR}/dist-work
          -DJAR=${Java_JAR_EXECUTABLE} -DJAVADOC=${DL_JAVADOC}
          -DSTRIP=${CMAKE_STRIP} -DMINGW_STRIP=${DL_MINGW_STRIP}
          -DLINUX_LIBRARY=$<TARGET_FILE:dactylink> -DLINUX_PLUGIN=$<TARGET_FILE:omr_tavoro_64>
          -DLINUX_ENGINE=$<TARGET_FILE:OmExtract> -DLINUX_SIM=$<TARGET_FILE:tavoro-sim> -DWINDOWS_BIN=${_win}
          -DCLASSES=${DL_JAVA_OUT}/classes -DCLI_CLASSES=${DL_JAVA_OUT}/cli-classes
          -DSOURCES=${CMAKE_CURRENT_SOURCE_DIR}/src -DGENERATED_SOURCES=${DL_JAVA_GENERATED}
          -DPICOCLI=${DL_PICOCLI_JAR} -DH2=${DL_H2_JAR} -DTEMPLATES=${PROJECT_SOURCE_DIR}/cmake/dist
          -DEXAMPLE=${DL_JAVA_EXAMPLE} -DEXAMPLE_PROJECT=${CMAKE_CURRENT_SOURCE_DIR}/example
          -DOVERVIEW=${CMAKE_CURRENT_SOURCE_DIR}/overview.html.in
          -P ${PROJECT_SOURCE_DIR}/cmake/dist_pack.cmake
  DEPENDS dactylink omr_tavoro_64 OmExtract tavoro-sim dactylink_jar dactylink_cli
          ${DL_JAVA_OUT}/dactylink.jar ${DL_JAVA_OUT}/cli.stamp ${DL_JAVA_SOURCES}
          ${_win}/dactylink.dll ${_win}/omr_tavoro_64.dll ${_win}/OmExtract.dll ${_win}/tavoro-sim.exe
          ${DL_PICOCLI_JAR} ${DL_H2_JAR} ${_dist_templates} ${PROJECT_SOURCE_DIR}/cmake/dist_pack.cmake
          ${DL_JAVA_EXAMPLE} ${CMAKE_CURRENT_SOURCE_DIR}/example/pom.xml
          ${CMAKE_CURRENT_SOURCE_DIR}/example/debian-settings.xml ${CMAKE_CURRENT_SOURCE_DIR}/overview.html.in
  COMMENT "Packing the release folder ${_dist}"
  VERBATIM)
add_custom_target(dist DEPENDS ${DL_DIST_FILES})
