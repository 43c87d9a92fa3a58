"""How the library jar finds its natives when none is installed: the per-user
cache, several JVMs at once, damaged cache files, an unusable home folder and
the private temporary folder, the opt-out property, an installed library, and
a second class loader."""
import hashlib
import os
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
        code, out, err = jvm.run(["list"], props)
        self.assertEqual(3, code, out + err)
        self.assertIn("Places tried:", err)
        self.assertIn("System.loadLibrary(\"dactylink\")", err)
        self.assertIn("cache folder " + os.path.join(not_a_folder, ".cache", "dactylink"), err)
        self.assertIn("temporary folder %s: is a link, not used" % top, err)
        self.assertIn("temporary folder %s-1: has permissions rwxr-xr-x" % top, err)
        self.assertIn("temporary folder %s-2: %s" % (top, third), err)
        self.assertEqual([], os.listdir(elsewhere))

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
        src = os.path.join(jvm.root, "TwoLoaders.java")
        with open(src, "w") as f:
            f.write("""
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
""")
        classes = os.path.join(jvm.root, "classes")
        subprocess.run([JAVAC, "-d", classes, src], check=True)
        code, out, err = jvm.run(["-cp", classes, "TwoLoaders", os.path.basename(LIB_JAR)], jar=False)
        self.assertEqual(0, code, out + err)
        lines = out.splitlines()
        self.assertEqual("loader 0: loaded", lines[0])
        self.assertIn("java.lang.UnsatisfiedLinkError: The native library dactylink is already loaded in this JVM "
                      "by another class loader", lines[1])


if __name__ == "__main__":
    import unittest
    unittest.main()
