package ardivex.cli;

import java.io.IOException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.util.List;

/**
 * Files the tool writes. An existing file is replaced only with
 * {@code --force}, and an input of the command never, whatever name (a link,
 * another spelling of its path, a hard link) leads to it. Everything is
 * checked before any work starts, so a refused command changes nothing.
 */
final class Outputs {
    private Outputs() {
    }

    /**
     * Checks that the outputs may be written.
     *
     * @param outputs the files to write (null entries are options not given)
     * @param inputs the files the command reads
     * @param force whether existing files may be replaced
     * @throws CliException with exit code 2 when an output is an input, two
     *     outputs are one file, or an output exists and force is off
     */
    static void check(List<Path> outputs, List<Path> inputs, boolean force) throws CliException {
        for (int i = 0; i < outputs.size(); i++) {
            Path out = outputs.get(i);
            if (out == null) {
                continue;
            }
            for (Path in : inputs) {
                if (same(out, in)) {
                    throw new CliException(ExitCode.USAGE, out + " is the input " + in
                            + "; an input is never written over, not even with --force");
                }
            }
            for (int j = 0; j < i; j++) {
                if (outputs.get(j) != null && same(out, outputs.get(j))) {
                    throw new CliException(ExitCode.USAGE, outputs.get(j) + " and " + out
                            + " are the same file; give each output a file of its own");
                }
            }
            if (!force && Files.exists(out, LinkOption.NOFOLLOW_LINKS)) {
                throw new CliException(ExitCode.USAGE, out + " exists; --force replaces it");
            }
            if (Files.isDirectory(out)) {
                throw new CliException(ExitCode.USAGE, out + " is a folder");
            }
        }
    }

    /**
     * Writes a file checked by {@link #check}. Without force it must still
     * not exist; with force, the new content goes into a file of its own
     * beside it that is then moved over the name, so that a link there is
     * replaced rather than the file it points to.
     *
     * @throws CliException with exit code 2 when the file appeared since the
     *     check, 3 when it cannot be written
     */
    static void write(Path file, byte[] data, boolean force) throws CliException {
        try {
            if (!force) {
                Files.write(file, data, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE);
                return;
            }
            Path dir = file.toAbsolutePath().getParent();
            Path part = Files.createTempFile(dir, "." + file.getFileName() + ".", ".part");
            try {
                Files.write(part, data);
                Files.move(part, file, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
            } finally {
                Files.deleteIfExists(part);
            }
        } catch (FileAlreadyExistsException e) {
            throw new CliException(ExitCode.USAGE, file + " exists; --force replaces it");
        } catch (IOException e) {
            throw new CliException(ExitCode.FAILURE, "cannot write " + file + " (" + CliCommand.reason(e) + ")");
        }
    }

    /** Whether two paths lead to one file: the same file key, or the same real place for names not made yet. */
    static boolean same(Path a, Path b) {
        try {
            if (Files.exists(a) && Files.exists(b)) {
                return Files.isSameFile(a, b);
            }
        } catch (IOException e) {
            // compared by name below
        }
        return place(a).equals(place(b));
    }

    // The real path of the folder holding the name, with the name itself.
    private static Path place(Path p) {
        Path abs = p.toAbsolutePath().normalize();
        try {
            return abs.toRealPath();
        } catch (IOException e) {
            Path parent = abs.getParent();
            try {
                return parent == null ? abs : parent.toRealPath().resolve(abs.getFileName());
            } catch (IOException e2) {
                return abs;
            }
        }
    }
}
