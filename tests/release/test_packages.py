"""What the release packages hold: the library jar (both platforms' natives,
Java 11 classes, nothing of anyone else's), the sources and Javadoc jars, the
standalone command-line tool with the simulators, the Windows zip with its
DLLs, and the Maven repository."""
import hashlib
import os
import subprocess
import sys
import xml.etree.ElementTree as ET
import zipfile

from release_env import (CLI_JAR, DIST, JAVA_SRC, JAVADOC_JAR, LIB_JAR, SOURCES_JAR, VERSION, WINDOWS_ZIP,
                         ReleaseTest, fresh_dir)

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "dllexports"))
import expected_exports  # noqa: E402

NATIVES = {
    "linux-x86_64": ["libdactylink.so", "omr_tavoro_64.so", "OmExtract.so"],
    "windows-x86_64": ["dactylink.dll", "omr_tavoro_64.dll", "OmExtract.dll"],
}
JAVA_11 = 55


def manifest(z):
    text = z.read("META-INF/MANIFEST.MF").decode("utf-8")
    return dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)


def class_major(data):
    assert data[:4] == b"\xca\xfe\xba\xbe"
    return int.from_bytes(data[6:8], "big")


class LibraryJar(ReleaseTest):
    def test_classes_natives_and_manifest(self):
        with zipfile.ZipFile(LIB_JAR) as z:
            names = z.namelist()
            self.assertEqual(VERSION, manifest(z).get("Implementation-Version"))
            # Our classes only, so that it never clashes with an application's own libraries.
            strangers = [n for n in names if not (n.startswith("ardivex/") or n.startswith("META-INF/"))]
            self.assertEqual([], strangers)
            classes = [n for n in names if n.endswith(".class")]
            self.assertIn("ardivex/Version.class", classes)
            self.assertIn("ardivex/scanners/ScannerMan.class", classes)
            self.assertFalse([n for n in classes if n.startswith("ardivex/cli/")], "the tool's classes")
            for n in classes:
                self.assertEqual(JAVA_11, class_major(z.read(n)), n)
            for platform, files in NATIVES.items():
                folder = "ardivex/native/%s/" % platform
                sums = z.read(folder + "SHA256SUMS").decode("ascii").split("\n")
                listed = {line[66:]: line[:64] for line in sums if line}
                self.assertEqual(set(files), set(listed), platform)
                self.assertEqual(files[0], sums[0][66:], "the library comes first")
                for f in files:
                    self.assertEqual(listed[f], hashlib.sha256(z.read(folder + f)).hexdigest(), f)

    def test_sources_and_javadoc(self):
        with zipfile.ZipFile(SOURCES_JAR) as z:
            names = set(z.namelist())
        for path in ("ardivex/Version.java", "ardivex/NativeLibrary.java", "ardivex/images/NImage.java"):
            self.assertIn(path, names)
        with open(os.path.join(JAVA_SRC, "ardivex", "NativeLibrary.java"), "rb") as f:
            with zipfile.ZipFile(SOURCES_JAR) as z:
                self.assertEqual(f.read(), z.read("ardivex/NativeLibrary.java"))
        with zipfile.ZipFile(JAVADOC_JAR) as z:
            names = set(z.namelist())
            self.assertIn("index.html", names)
            self.assertIn("ardivex/scanners/ScannerMan.html", names)
            overview = z.read("index.html").decode("utf-8")
            self.assertIn("dactylink " + VERSION, overview)
            # The overview shows the first application, the very file the build compiles.
            with open(os.path.join(JAVA_SRC, "..", "example", "src", "main", "java", "example", "FirstSteps.java")) as f:
                example = f.read()
            shown = overview.replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&").replace("&quot;", '"')
            self.assertIn(example.split("public final class FirstSteps {")[1][:400], shown)
            self.assertIn("--enable-native-access=ALL-UNNAMED", overview)
            # Every package has a description.
            for package in ("ardivex", "ardivex/scanners", "ardivex/images", "ardivex/fingers", "ardivex/templates",
                            "ardivex/matching"):
                page = z.read(package + "/package-summary.html").decode("utf-8")
                self.assertIn('class="block"', page, package)

    def test_linux_natives_are_stripped_and_export_their_entry_points_only(self):
        work = fresh_dir(self, "natives")
        with zipfile.ZipFile(LIB_JAR) as z:
            for f in NATIVES["linux-x86_64"]:
                path = z.extract("ardivex/native/linux-x86_64/" + f, work)
                with self.subTest(file=f):
                    sections = subprocess.run(["readelf", "-S", "-W", path], capture_output=True, text=True,
                                              check=True).stdout
                    self.assertNotIn(".symtab", sections)
                    self.assertNotIn(".debug_", sections)
                    dyn = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                                         check=True).stdout
                    # Symbol versions aside (the version script's node), every defined name is an entry point.
                    exported = {line.split()[-1].split("@")[0] for line in dyn.splitlines()
                                if line.split()[1] in ("T", "W", "i")}
                    self.assertEqual(expected_exports.expected(f, JAVA_SRC), exported)


class CommandLineJar(ReleaseTest):
    def test_standalone(self):
        with zipfile.ZipFile(CLI_JAR) as z:
            m = manifest(z)
            names = set(z.namelist())
        self.assertEqual("ardivex.cli.Main", m.get("Main-Class"))
        self.assertEqual(VERSION, m.get("Implementation-Version"))
        # picocli and H2 (the base of enroll and identify) inside, each with its licence.
        for name in ("picocli/CommandLine.class", "META-INF/picocli-COPYRIGHT", "org/h2/Driver.class",
                     "META-INF/services/java.sql.Driver", "META-INF/h2-COPYRIGHT", "META-INF/h2-LICENSE-MPL-2.0"):
            self.assertIn(name, names)
        self.assertIn("ardivex/cli/Main.class", names)
        self.assertIn("ardivex/native/linux-x86_64/libdactylink.so", names)
        # Java 22 and later grant the tool's natives access without a warning.
        self.assertEqual("ALL-UNNAMED", m.get("Enable-Native-Access"))

    def test_simulators(self):
        # The release folder's programs, stripped, and the same bytes inside the
        # tool's jar (listed with their hashes) and the Windows zip.
        linux, windows = os.path.join(DIST, "tavoro-sim"), os.path.join(DIST, "tavoro-sim.exe")
        self.assertTrue(os.access(linux, os.X_OK))
        sections = subprocess.run(["readelf", "-S", "-W", linux], capture_output=True, text=True, check=True).stdout
        self.assertNotIn(".symtab", sections)
        with open(windows, "rb") as f:
            exe = f.read()
        self.assertEqual(b"MZ", exe[:2])
        with zipfile.ZipFile(CLI_JAR) as z:
            for platform, path in (("linux-x86_64", linux), ("windows-x86_64", windows)):
                name = os.path.basename(path)
                inside = z.read("ardivex/cli/sim/%s/%s" % (platform, name))
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), inside, name)
                sums = z.read("ardivex/cli/sim/%s/SHA256SUMS" % platform).decode("ascii")
                self.assertEqual("%s  %s\n" % (hashlib.sha256(inside).hexdigest(), name), sums)
        with zipfile.ZipFile(WINDOWS_ZIP) as z:
            self.assertEqual(exe, z.read("dactylink-%s-windows-x64/tavoro-sim.exe" % VERSION))
        r = subprocess.run([linux, "--help"], capture_output=True, text=True)
        self.assertEqual(0, r.returncode)
        self.assertIn("poor I [N]", r.stdout)


class MavenRepository(ReleaseTest):
    def test_layout_checksums_and_pom(self):
        folder = os.path.join(DIST, "maven", "ardivex", "dactylink")
        stem = os.path.join(folder, VERSION, "dactylink-" + VERSION)
        files = [stem + ".jar", stem + "-sources.jar", stem + "-javadoc.jar", stem + ".pom",
                 os.path.join(folder, "maven-metadata.xml")]
        for f in files:
            with open(f, "rb") as data:
                content = data.read()
            for kind in ("sha1", "md5"):
                with open(f + "." + kind) as c:
                    self.assertEqual(hashlib.new(kind, content).hexdigest(), c.read(), f + "." + kind)
        for suffix, released in ((".jar", LIB_JAR), ("-sources.jar", SOURCES_JAR), ("-javadoc.jar", JAVADOC_JAR)):
            with open(stem + suffix, "rb") as a, open(released, "rb") as b:
                self.assertEqual(a.read(), b.read(), suffix)
        ns = {"m": "http://maven.apache.org/POM/4.0.0"}
        pom = ET.parse(stem + ".pom").getroot()
        self.assertEqual(["ardivex", "dactylink", VERSION, "jar"],
                         [pom.find("m:" + k, ns).text for k in ("groupId", "artifactId", "version", "packaging")])
        (h2,) = pom.findall("m:dependencies/m:dependency", ns)
        self.assertEqual(["com.h2database", "h2", "2.1.214", "true"],
                         [h2.find("m:" + k, ns).text for k in ("groupId", "artifactId", "version", "optional")])
        meta = ET.parse(os.path.join(folder, "maven-metadata.xml")).getroot()
        self.assertEqual([VERSION], [v.text for v in meta.findall("versioning/versions/version")])


class WindowsZip(ReleaseTest):
    def test_contents(self):
        top = "dactylink-%s-windows-x64/" % VERSION
        with zipfile.ZipFile(WINDOWS_ZIP) as z:
            names = {n[len(top):] for n in z.namelist() if n.startswith(top) and not n.endswith("/")}
            self.assertEqual({"dactylink.dll", "omr_tavoro_64.dll", "OmExtract.dll", "dactylink-%s.jar" % VERSION,
                              "dactylink-cli-%s.jar" % VERSION, "dactylink.cmd", "tavoro-sim.exe", "README.txt"},
                             names)
            with open(LIB_JAR, "rb") as f:
                self.assertEqual(f.read(), z.read(top + "dactylink-%s.jar" % VERSION))
            cmd = z.read(top + "dactylink.cmd")
            readme = z.read(top + "README.txt").decode("utf-8")
        self.assertIn(b"\r\n", cmd)
        self.assertNotIn(b"@VERSION@", cmd)
        self.assertIn(b"dactylink-cli-%s.jar" % VERSION.encode(), cmd)
        for topic in ("java.library.path", "beside dactylink.dll", "HKEY_CURRENT_USER", "DACTYLINK_TRACE",
                      "dactylink simulate"):
            self.assertIn(topic, readme)

    def test_dlls(self):
        # Stripped, version resource, system imports only, exactly the expected exports.
        r = subprocess.run([sys.executable, os.path.join(HERE, "..", "dllexports", "check_pe.py"), "--java-src",
                            JAVA_SRC, "--version", VERSION, "--stripped", WINDOWS_ZIP],
                           capture_output=True, text=True)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertEqual(3, r.stdout.count("as expected, stripped"), r.stdout)


if __name__ == "__main__":
    import unittest
    unittest.main()
