# Packs the release folder; run by the target dist (cmake/Dist.cmake), which
# passes every input as -D. Everything is staged under WORK first; DIST only
# receives finished files.
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "dist: ${cmd} failed (${rc}):\n${out}${err}")
  endif()
endfunction()

set(windows_files dactylink.dll omr_tavoro_64.dll OmExtract.dll)
foreach(f IN LISTS windows_files ITEMS tavoro-sim.exe)
  if(NOT EXISTS ${WINDOWS_BIN}/${f})
    message(FATAL_ERROR "dist: ${WINDOWS_BIN}/${f} is missing. The release carries the Windows DLLs and "
                        "simulator: build them first (cmake --preset windows && cmake --build --preset windows "
                        "--target dactylink omr_tavoro_64 OmExtract tavoro-sim), or run scripts/package.sh, which "
                        "does it all.")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
set(natives ${WORK}/natives)
set(res ardivex/native)

# Files stripped into a folder with the list of their SHA-256 hashes, which
# whoever takes them out of a jar checks every file against.
function(stage dir strip)
  file(MAKE_DIRECTORY ${dir})
  set(sums "")
  foreach(src IN LISTS ARGN)
    get_filename_component(name ${src} NAME)
    file(COPY_FILE ${src} ${dir}/${name})
    run(${strip} --strip-all ${dir}/${name})
    file(SHA256 ${dir}/${name} hash)
    string(APPEND sums "${hash}  ${name}\n")
  endforeach()
  file(WRITE ${dir}/SHA256SUMS "${sums}")
endfunction()
# Natives, each platform's with its list (the library first), which the loader checks.
stage(${natives}/${res}/linux-x86_64 ${STRIP} ${LINUX_LIBRARY} ${LINUX_PLUGIN} ${LINUX_ENGINE})
stage(${natives}/${res}/windows-x86_64 ${MINGW_STRIP}
      ${WINDOWS_BIN}/dactylink.dll ${WINDOWS_BIN}/omr_tavoro_64.dll ${WINDOWS_BIN}/OmExtract.dll)
# The simulated device service, for the release folder, the zip and the
# tool's simulate command.
set(sims ${WORK}/sim)
stage(${sims}/ardivex/cli/sim/linux-x86_64 ${STRIP} ${LINUX_SIM})
stage(${sims}/ardivex/cli/sim/windows-x86_64 ${MINGW_STRIP} ${WINDOWS_BIN}/tavoro-sim.exe)

# Manifests.
set(common "Manifest-Version: 1.0\nImplementation-Version: ${VERSION}\nSpecification-Version: ${VERSION}\n")
file(WRITE ${WORK}/library.mf "${common}Implementation-Title: dactylink\nSpecification-Title: dactylink\nAutomatic-Module-Name: ardivex.dactylink\n")
# Java 22 and later warn on every run of a jar whose natives are loaded
# without native access granted; the tool grants it to itself.
file(WRITE ${WORK}/cli.mf
     "${common}Implementation-Title: dactylink-cli\nMain-Class: ardivex.cli.Main\nEnable-Native-Access: ALL-UNNAMED\n")

set(out ${WORK}/out)
file(MAKE_DIRECTORY ${out})
set(lib_jar ${out}/dactylink-${VERSION}.jar)
set(cli_jar ${out}/dactylink-cli-${VERSION}.jar)

# The library: our classes and the natives, nothing of anyone else's.
run(${JAR} --create --file ${lib_jar} --manifest ${WORK}/library.mf -C ${CLASSES} . -C ${natives} .)

# Sources (the .java files only; Version.java is the generated one).
set(src ${WORK}/sources)
file(COPY ${SOURCES}/ DESTINATION ${src} FILES_MATCHING PATTERN "*.java")
file(COPY ${GENERATED_SOURCES}/ DESTINATION ${src} FILES_MATCHING PATTERN "*.java")
run(${JAR} --create --file ${out}/dactylink-${VERSION}-sources.jar -C ${src} .)

# Javadoc; a doclint warning fails the build. Its overview page shows the
# first application, the very file that the build compiles.
file(READ ${EXAMPLE} EXAMPLE_SOURCE)
configure_file(${OVERVIEW} ${WORK}/overview.html @ONLY)
run(${JAVADOC} -Xdoclint:all -Werror --release 11 -quiet -encoding UTF-8 -charset UTF-8 -d ${WORK}/javadoc
    -sourcepath ${src} -subpackages ardivex -overview ${WORK}/overview.html -windowtitle "dactylink ${VERSION}"
    -doctitle "dactylink ${VERSION}: fingerprint readers, images and templates for Java")
run(${JAR} --create --file ${out}/dactylink-${VERSION}-javadoc.jar -C ${WORK}/javadoc .)

# The command-line tool: the library's contents, the tool's classes, and
# picocli's and H2's classes (the base of enroll and identify) with their
# licences, so that java -jar needs nothing else.
function(stage_third_party name jar copyright licences)
  set(dir ${WORK}/${name})
  file(MAKE_DIRECTORY ${dir})
  run(${CMAKE_COMMAND} -E chdir ${dir} ${JAR} xf ${jar})
  file(REMOVE ${dir}/META-INF/MANIFEST.MF)
  if(EXISTS ${copyright})
    file(COPY_FILE ${copyright} ${dir}/META-INF/${name}-COPYRIGHT)
  endif()
  foreach(l IN LISTS licences)
    if(EXISTS /usr/share/common-licenses/${l})
      file(COPY_FILE /usr/share/common-licenses/${l} ${dir}/META-INF/${name}-LICENSE-${l})
    endif()
  endforeach()
endfunction()
stage_third_party(picocli ${PICOCLI} /usr/share/doc/libpicocli-java/copyright Apache-2.0)
# H2 is offered under MPL 2.0 or EPL 1.0 (Debian's copyright file has both).
stage_third_party(h2 ${H2} /usr/share/doc/libh2-java/copyright MPL-2.0)
run(${JAR} --create --file ${cli_jar} --manifest ${WORK}/cli.mf
    -C ${CLASSES} . -C ${natives} . -C ${CLI_CLASSES} . -C ${WORK}/picocli . -C ${WORK}/h2 . -C ${sims} .)
file(COPY_FILE ${sims}/ardivex/cli/sim/linux-x86_64/tavoro-sim ${out}/tavoro-sim)
file(COPY_FILE ${sims}/ardivex/cli/sim/windows-x86_64/tavoro-sim.exe ${out}/tavoro-sim.exe)

# The Windows package, in a folder of its own inside the zip. Texts for
# Windows users get CRLF line ends.
set(zipname dactylink-${VERSION}-windows-x64)
set(zipdir ${WORK}/zip/${zipname})
file(MAKE_DIRECTORY ${zipdir})
foreach(f IN LISTS windows_files)
  file(COPY_FILE ${natives}/${res}/windows-x86_64/${f} ${zipdir}/${f})
endforeach()
file(COPY_FILE ${out}/tavoro-sim.exe ${zipdir}/tavoro-sim.exe)
file(COPY_FILE ${lib_jar} ${zipdir}/dactylink-${VERSION}.jar)
file(COPY_FILE ${cli_jar} ${zipdir}/dactylink-cli-${VERSION}.jar)
configure_file(${TEMPLATES}/dactylink.cmd.in ${zipdir}/dactylink.cmd @ONLY NEWLINE_STYLE CRLF)
configure_file(${TEMPLATES}/README-windows.txt.in ${zipdir}/README.txt @ONLY NEWLINE_STYLE CRLF)
run(${CMAKE_COMMAND} -E chdir ${WORK}/zip ${CMAKE_COMMAND} -E tar cf ${out}/${zipname}.zip --format=zip ${zipname})

# A Maven repository of the library: jar, sources, javadoc and pom, each with
# the .sha1 and .md5 files that Maven checks, and the artifact's metadata.
set(GROUP ardivex)
set(ARTIFACT dactylink)
set(repo ${WORK}/maven)
set(adir ${repo}/${GROUP}/${ARTIFACT})
set(vdir ${adir}/${VERSION})
file(MAKE_DIRECTORY ${vdir})
configure_file(${TEMPLATES}/dactylink.pom.in ${vdir}/${ARTIFACT}-${VERSION}.pom @ONLY)
foreach(suffix .jar -sources.jar -javadoc.jar)
  file(COPY_FILE ${out}/dactylink-${VERSION}${suffix} ${vdir}/${ARTIFACT}-${VERSION}${suffix})
endforeach()
string(TIMESTAMP updated "%Y%m%d%H%M%S" UTC)
file(WRITE ${adir}/maven-metadata.xml "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<metadata>
  <groupId>${GROUP}</groupId>
  <artifactId>${ARTIFACT}</artifactId>
  <versioning>
    <latest>${VERSION}</latest>
    <release>${VERSION}</release>
    <versions>
      <version>${VERSION}</version>
    </versions>
    <lastUpdated>${updated}</lastUpdated>
  </versioning>
</metadata>
")
file(GLOB_RECURSE published ${repo}/*)
foreach(f IN LISTS published)
  file(SHA1 ${f} sha1)
  file(MD5 ${f} md5)
  file(WRITE ${f}.sha1 "${sha1}")
  file(WRITE ${f}.md5 "${md5}")
endforeach()

# Into the release folder, replacing the packages of earlier builds.
file(GLOB old ${DIST}/dactylink-* ${DIST}/tavoro-sim ${DIST}/tavoro-sim.exe ${DIST}/SHA256SUMS)
if(old)
  file(REMOVE ${old})
endif()
file(REMOVE_RECURSE ${DIST}/maven ${DIST}/example)
file(MAKE_DIRECTORY ${DIST})
file(COPY ${repo} DESTINATION ${DIST})
# The first application, ready to build against maven/ beside it.
file(COPY ${EXAMPLE_PROJECT}/pom.xml ${EXAMPLE_PROJECT}/debian-settings.xml DESTINATION ${DIST}/example)
file(COPY ${EXAMPLE} DESTINATION ${DIST}/example/src/main/java/example)
file(GLOB made RELATIVE ${out} ${out}/*)
list(SORT made)
set(sums "")
foreach(f IN LISTS made)
  file(COPY_FILE ${out}/${f} ${DIST}/${f})
  file(SHA256 ${DIST}/${f} hash)
  string(APPEND sums "${hash}  ${f}\n")
endforeach()
file(WRITE ${DIST}/SHA256SUMS "${sums}")
message(STATUS "dist: ${DIST}: ${made}")
