"""How the library jar finds its natives when none is installed: the per-user
cache, several JVMs at once, damaged cache files, an unusable home folder and
the private temporary folder, the opt-out property, an installed library, and
a second class loader."""
import hashlib
import os
import re
import stat
import subprocess
import zipfile

from release_env import JAVA, JAVAC, LIB_JAR, VERSION, Jvm, ReleaseTest, fresh_dir

LIBRARY = "libdactylink.so"
NATIVES = [LIBRARY, "omr_tavoro_64.so", "OmExtract.so"]


def jar_hashes():
    with zipfile.ZipFile(LIB_JAR) as z:
        return {f: hashlib.sha256(z.read("ardivex/native/linux-x86_64/" + f)).hexdigest() for f in NATIVES}


def file_hash(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def native_id():
    """The name of the cache's platform folder: the platform and the first 8 hex digits of the jar's SHA256SUMS hash."""
    with zipfile.ZipFile(LIB_JAR) as z:
        sums = z.read("ardivex/native/linux-x86_64/SHA256SUMS")
    return "linux-x86_64-" + hashlib.sha256(sums).hexdigest()[:8]


def planted_plugin(test, folder, marker):
    """Compiles into `folder` a reader plug-in that, once loaded, writes `marker`."""
    src = os.path.join(fresh_dir(test, "evil"), "evil.c")
    with open(src, "w") as f:
        f.write('#include <stdio.h>\n'
                '__attribute__((constructor)) static void planted(void) {\n'
                '  FILE* f = fopen("%s", "w");\n'
                '  if (f) { fputs("loaded\\n", f); fclose(f); }\n'
                '}\n' % marker)
    os.makedirs(folder, exist_ok=True)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", os.path.join(folder, "omr_evil_64.so"), src], check=True)


TWO_LOADERS = """
import java.io.File;
import java.lang.reflect.InvocationTargetException;
import java.net.URL;
import java.net.URLClassLoader;
import java.util.ArrayList;
import java.util.List;

public class TwoLoaders {
    public static void main(String[] args) throws Exception {
        URL jar = new File(args[0]).toURI().toURL();
        List<ClassLoader> keep = new ArrayList<>();
        for (int i = 0; i < 2; i++) {
            URLClassLoader loader = new URLClassLoader(new URL[] {jar}, null);
            keep.add(loader);
            try {
                Class.forName("ardivex.NativeLibrary", true, loader).getMethod("load").invoke(null);
                System.out.println("loader " + i + ": loaded");
            } catch (InvocationTargetException e) {
                System.out.println("loader " + i + ": " + e.getCause());
            }
        }
    }
}
"""


def two_loaders(test, jvm, props=None):
    """Loads the library's classes twice in one JVM, from two class loaders; returns their two lines."""
    src = os.path.join(jvm.root, "TwoLoaders.java")
    with open(src, "w") as f:
        f.write(TWO_LOADERS)
    classes = os.path.join(jvm.root, "classes")
    subprocess.run([JAVAC, "-d", classes, src], check=True)
    code, out, err = jvm.run(["-cp", classes, "TwoLoaders", os.path.basename(LIB_JAR)], props, jar=False)
    test.assertEqual(0, code, out + err)
    return out.splitlines()


class LoaderTest(ReleaseTest):
    def loaded_from(self, jvm, props=None):
        code, out, err = jvm.run(["--version"], props)
        self.assertEqual(0, code, out + err)
        self.assertIn("native library " + VERSION + ", loaded from ", out)
        return out.split("loaded from ", 1)[1].splitlines()[0]

    def assert_natives(self, folder):
        self.assertEqual(jar_hashes(), {f: file_hash(os.path.join(folder, f)) for f in NATIVES})



class Cache(LoaderTest):
    def test_jvms_starting_at_once_share_an_empty_cache(self):
        jvm = Jvm(self)
        procs = [jvm.start(["--version"]) for _ in range(3)]
        results = [p.communicate(timeout=60) + (p.returncode,) for p in procs]
        for out, err, code in results:
            self.assertEqual(0, code, out + err)
            self.assertIn("loaded from " + jvm.cache, out)
        (folder,) = os.listdir(jvm.cache)
        folder = os.path.join(jvm.cache, folder)
        self.assertEqual(set(NATIVES), set(os.listdir(folder)), "no copy left half-written")
        self.assert_natives(folder)

    def test_a_damaged_cache_file_is_replaced_not_loaded(self):
        jvm = Jvm(self)
        lib = self.loaded_from(jvm)
        folder = os.path.dirname(lib)
        engine = os.path.join(folder, "OmExtract.so")
        # Same size, other bytes: only the hash tells.
        with open(lib, "r+b") as f:
            f.seek(4096)
            f.write(b"\xcc" * 64)
        with open(engine, "r+b") as f:
            f.truncate(1000)  # half-written
        # A link, even to a good copy, is replaced: the file checked must be the file loaded.
        plugin = os.path.join(folder, "omr_tavoro_64.so")
        elsewhere = os.path.join(fresh_dir(self, "elsewhere"), "omr_tavoro_64.so")
        os.rename(plugin, elsewhere)
        os.symlink(elsewhere, plugin)
        old_inode = os.stat(lib).st_ino
        self.assertEqual(lib, self.loaded_from(jvm))
        self.assert_natives(folder)
        self.assertFalse(os.path.islink(plugin))
        # Replaced by a new file moved into place, never written over.
        self.assertNotEqual(old_inode, os.stat(lib).st_ino)


    def test_a_library_of_another_version_is_refused(self):
        jvm = Jvm(self)
        installed = os.path.join(jvm.root, "installed")
        os.mkdir(installed)
        src = os.path.join(jvm.root, "old.c")
        with open(src, "w") as f:
            f.write('#include <jni.h>\n'
                    'JNIEXPORT jstring JNICALL Java_ardivex_NativeLibrary_innerGetVersion(JNIEnv* e, jclass c) {\n'
                    '  return (*e)->NewStringUTF(e, "0.9.9");\n'
                    '}\n')
        jdk = os.path.dirname(os.path.dirname(os.path.realpath(JAVA)))
        subprocess.run(["cc", "-shared", "-fPIC", "-I", os.path.join(jdk, "include"),
                        "-I", os.path.join(jdk, "include", "linux"), "-o", os.path.join(installed, LIBRARY), src],
                       check=True)
        code, out, err = jvm.run(["list"], {"java.library.path": installed})
        self.assertEqual(3, code, out + err)
        self.assertIn("loaded from %s (java.library.path) is version 0.9.9, but the dactylink classes are version %s"
                      % (os.path.join(installed, LIBRARY), VERSION), err)


class Elsewhere(LoaderTest):
    def test_unusable_home_falls_back_to_a_private_temporary_folder(self):
        jvm = Jvm(self)
        not_a_folder = os.path.join(jvm.root, "home-file")
        open(not_a_folder, "w").close()
        props = {"user.home": not_a_folder}
        user = subprocess.run(["id", "-un"], capture_output=True, text=True).stdout.strip()
        top = os.path.join(jvm.tmp, "dactylink-" + user)

        # Someone else's folders in the way are never used: a link, a folder
        # others may enter, a folder of another owner (a plain file when not
        # run as root, since only root can give a folder away).
        elsewhere = fresh_dir(self, "elsewhere")
        os.symlink(elsewhere, top)
        os.mkdir(top + "-1", 0o755)
        os.chmod(top + "-1", 0o755)
        if os.geteuid() == 0:
            os.mkdir(top + "-2", 0o700)
            os.chown(top + "-2", 65534, 65534)
            third = "belongs to"
        else:
            open(top + "-2", "w").close()
            third = "is not a folder"
        # A recorded private folder that is not private is refused too, and
        # then no other is made: every reason is listed.
        shared = fresh_dir(self, "shared")
        os.chmod(shared, 0o777)
        code, out, err = jvm.run(["list"], dict(props, **{"dactylink.private.folder": shared}))
        self.assertEqual(3, code, out + err)
        self.assertIn("Places tried:", err)
        self.assertIn("System.loadLibrary(\"dactylink\")", err)
        self.assertIn("private temporary folder %s (dactylink.private.folder): may be written by anyone (rwxrwxrwx), "
                      "not used" % shared, err)
        self.assertIn("cache folder " + os.path.join(not_a_folder, ".cache", "dactylink"), err)
        self.assertIn("temporary folder %s: is a link, not used" % top, err)
        self.assertIn("temporary folder %s-1: has permissions rwxr-xr-x" % top, err)
        self.assertIn("temporary folder %s-2: %s" % (top, third), err)
        self.assertEqual([], os.listdir(elsewhere))
        self.assertEqual([], os.listdir(shared))

        # All three names taken: a private folder of a name no one could have
        # made beforehand, used again by the next run, and by a second class
        # loader of the same process (which then meets the copy loaded).
        lib = self.loaded_from(jvm, props)
        folder = os.path.dirname(os.path.dirname(lib))
        self.assertRegex(folder, "^" + re.escape(top) + "-p[0-9]+$")
        self.assertEqual(0o700, stat.S_IMODE(os.lstat(folder).st_mode))
        self.assertEqual(os.geteuid(), os.lstat(folder).st_uid)
        self.assert_natives(os.path.dirname(lib))
        self.assertEqual(lib, self.loaded_from(jvm, props))
        lines = two_loaders(self, jvm, props)
        self.assertEqual("loader 0: loaded", lines[0])
        self.assertIn("already loaded in this JVM by another class loader (%s: " % lib, lines[1])
        self.assertEqual([os.path.basename(folder)],
                         [f for f in os.listdir(jvm.tmp) if f.startswith("dactylink-%s-p" % user)])

        # A fixed name that is free again comes first.
        if os.path.isdir(top + "-2"):
            os.rmdir(top + "-2")
        else:
            os.remove(top + "-2")
        lib = self.loaded_from(jvm, props)
        self.assertTrue(lib.startswith(top + "-2" + os.sep), lib)
        self.assertEqual(0o700, stat.S_IMODE(os.lstat(top + "-2").st_mode))
        self.assert_natives(os.path.dirname(lib))

    def test_extraction_can_be_turned_off(self):
        jvm = Jvm(self)
        code, out, err = jvm.run(["list"], {"dactylink.extract": "false"})
        self.assertEqual(3, code, out + err)
        self.assertIn("java.library.path", err)
        self.assertIn("dactylink.extract=false", err)
        self.assertFalse(os.path.exists(os.path.join(jvm.home, ".cache", "dactylink")))

    def test_an_installed_library_wins(self):
        jvm = Jvm(self)
        installed = os.path.join(jvm.root, "installed")
        os.mkdir(installed)
        with zipfile.ZipFile(LIB_JAR) as z:
            for f in NATIVES:
                with open(os.path.join(installed, f), "wb") as out:
                    out.write(z.read("ardivex/native/linux-x86_64/" + f))
        where = self.loaded_from(jvm, {"java.library.path": installed})
        self.assertEqual(os.path.join(installed, LIBRARY) + " (java.library.path)", where)
        self.assertFalse(os.path.exists(os.path.join(jvm.home, ".cache", "dactylink")))

    def test_a_second_class_loader_is_told_why(self):
        jvm = Jvm(self)
        lines = two_loaders(self, jvm)
        self.assertEqual("loader 0: loaded", lines[0])
        self.assertIn("java.lang.UnsatisfiedLinkError: The native library dactylink is already loaded in this JVM "
                      "by another class loader", lines[1])


class Trust(LoaderTest):
    """The library loads every omr_*_64 plug-in beside itself: a folder that anyone else could have filled is
    never the one it is loaded from."""

    def assert_not_loaded(self, jvm, marker, props=None):
        code, out, err = jvm.run(["list"], props)  # lists readers: the plug-ins beside the library are loaded
        self.assertEqual(1, code, out + err)
        self.assertIn("No reader found", err)
        self.assertFalse(os.path.exists(marker), "the planted plug-in ran")
        lib = self.loaded_from(jvm, props)
        self.assertTrue(lib.startswith(os.path.join(jvm.tmp, "dactylink-")), lib)
        self.assertFalse(os.path.exists(marker), "the planted plug-in ran")
        return lib

    def test_a_plugin_planted_in_a_cache_folder_others_may_write_to_is_never_loaded(self):
        for case in ("version folder 0777", "cache group-writable", "XDG_CACHE_HOME shared"):
            with self.subTest(case=case):
                jvm = Jvm(self)
                os.makedirs(jvm.pipes)  # no simulator: the plug-ins load, find nothing
                marker = os.path.join(jvm.root, "planted-plugin-ran")
                base = os.path.join(jvm.home, ".cache")
                if case == "XDG_CACHE_HOME shared":
                    base = os.path.join(jvm.root, "shared")
                    jvm.env["XDG_CACHE_HOME"] = base
                leaf = os.path.join(base, "dactylink", VERSION, native_id())
                planted_plugin(self, leaf, marker)
                if case == "version folder 0777":
                    os.chmod(os.path.dirname(leaf), 0o777)
                    os.chmod(leaf, 0o777)
                elif case == "cache group-writable":
                    os.chmod(base, 0o775)
                else:
                    os.chmod(base, 0o777)
                self.assert_not_loaded(jvm, marker)
                self.assertEqual(["omr_evil_64.so"], os.listdir(leaf), "nothing put into the refused folder")

    def test_a_home_that_is_no_absolute_path_is_never_used(self):
        # A user without an account entry gets user.home "?": the cache would lie below the working folder.
        jvm = Jvm(self)
        os.makedirs(jvm.pipes)
        marker = os.path.join(jvm.root, "planted-plugin-ran")
        planted = os.path.join(jvm.cwd, "?", ".cache", "dactylink", VERSION, native_id())
        planted_plugin(self, planted, marker)
        before = sorted(os.listdir(planted))
        self.assert_not_loaded(jvm, marker, {"user.home": "?"})
        self.assertEqual(before, sorted(os.listdir(planted)))

        # Told as the reason when nothing else can be used.
        code, out, err = jvm.run(["list"], {"user.home": "?", "java.io.tmpdir": os.path.join(jvm.root, "none")})
        self.assertEqual(3, code, out + err)
        self.assertIn('cache folder: user.home is "?", not an absolute path, not used', err)
        self.assertFalse(os.path.exists(marker))


if __name__ == "__main__":
    import unittest
    unittest.main()
