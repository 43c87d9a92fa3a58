package ardivex.cli;

import ardivex.images.NImage;
import ardivex.scanners.ScanManException;
import ardivex.scanners.Scanner;
import java.io.IOException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.concurrent.TimeUnit;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.ParameterException;

/** {@code capture}: images from one reader, saved as BMP files. */
@Command(name = "capture", mixinStandardHelpOptions = true,
        description = {"Captures images from a reader and saves each as an 8-bit grey BMP file "
                + "capture-<n>.bmp, numbered after the files already in the folder (none is replaced).",
                "Shows a progress bar on a terminal, one line per image otherwise."})
public final class CaptureCommand extends CliCommand {
    @Option(names = "--reader", paramLabel = "N", defaultValue = "0",
            description = "Index of the reader, as list shows it (default: ${DEFAULT-VALUE}).")
    int reader;

    @Option(names = "--count", paramLabel = "N", defaultValue = "1",
            description = "Number of images (default: ${DEFAULT-VALUE}).")
    int count;

    @Option(names = "--timeout", paramLabel = "S", defaultValue = "20",
            description = "Seconds to wait for each image before giving up (default: ${DEFAULT-VALUE}).")
    int timeout;

    @Option(names = "--out", paramLabel = "DIR", defaultValue = ".",
            description = "Folder for the BMP files, created if needed (default: the current folder).")
    Path out;

    @Override
    protected int run() throws Exception {
        if (reader < 0) {
            throw new ParameterException(spec.commandLine(), "--reader must be 0 or more, not " + reader);
        }
        if (count < 1) {
            throw new ParameterException(spec.commandLine(), "--count must be 1 or more, not " + count);
        }
        if (timeout < 1) {
            throw new ParameterException(spec.commandLine(), "--timeout must be 1 or more, not " + timeout);
        }
        Path dir = out.toAbsolutePath().normalize();
        try {
            Files.createDirectories(dir);
        } catch (IOException e) {
            throw new CliException(ExitCode.FAILURE, "cannot create the folder " + dir + " (" + reason(e) + ")");
        }
        Saved saved = new Saved(dir);
        // Ctrl-C ends the JVM through its shutdown hooks: say what was saved.
        Thread interrupted = new Thread(() -> saved.close("interrupted"), "dactylink-interrupted");
        Runtime.getRuntime().addShutdownHook(interrupted);
        // A reader or plug-in that stops answering must not keep the tool
        // waiting for ever: give up well after every image could have come.
        Thread watchdog = watchdog((long) (count + 3) * timeout, saved);
        try {
            return capture(saved);
        } finally {
            watchdog.interrupt();
            try {
                Runtime.getRuntime().removeShutdownHook(interrupted);
            } catch (IllegalStateException e) {
                // the JVM is ending already: the hook reports
            }
            Readers.release();
        }
    }

    private int capture(Saved saved) throws Exception {
        Scanner scanner = Readers.pick(reader);
        String id = scanner.getID();
        out().println("Capturing " + count + (count == 1 ? " image" : " images") + " from " + id
                + " (place a finger on the reader)");
        out().flush();
        Progress progress = new Progress(out(), Progress.isTerminal(), "images", count);
        saved.progress = progress;
        int received;
        try {
            received = Capturer.capture(scanner, count, timeout, progress::waiting,
                    (n, w, h, pixels) -> saved.save(new NImage(w, h, pixels)));
        } catch (ScanManException e) {
            progress.finish();
            throw new CliException(ExitCode.FAILURE, "reader " + id + ": " + e.getMessage());
        }
        progress.finish();
        if (received < count) {
            throw new CliException(ExitCode.NOTHING_FOUND, "only " + received + " of " + count
                    + " images arrived (waiting " + timeout + " s for each); is a finger on the reader? "
                    + saved.summary());
        }
        out().println(saved.summary());
        return ExitCode.OK;
    }

    /**
     * The files saved so far. Saving and the report of an interruption take
     * turns, so that the report counts every file on disk and no file is
     * written after it.
     */
    private final class Saved {
        private final Path dir;
        private Progress progress;
        private Path first;
        private Path last;
        private int files;
        private boolean closed;

        Saved(Path dir) {
            this.dir = dir;
        }

        synchronized void save(NImage image) throws Exception {
            if (closed) {
                return; // the JVM is ending: nothing more is written
            }
            Path file = CaptureCommand.save(dir, image);
            files++;
            first = first == null ? file : first;
            last = file;
            progress.advance("saved " + file + " (" + image.getWidth() + " x " + image.getHeight() + ")");
        }

        /** Ends saving and says what was saved and why it ended. */
        synchronized void close(String why) {
            if (closed) {
                return;
            }
            closed = true;
            if (progress != null) {
                progress.finish();
            }
            out().flush();
            message(why + "; " + summary());
            err().flush();
        }

        synchronized String summary() {
            String names = files == 0 ? "" : files == 1 ? " (" + first.getFileName() + ")"
                    : " (" + first.getFileName() + " to " + last.getFileName() + ")";
            return files + (files == 1 ? " image" : " images") + " saved in " + dir + names;
        }
    }

    /** Writes the image as the first free capture-<n>.bmp; never replaces a file. */
    private static Path save(Path dir, NImage image) throws Exception {
        byte[] bmp = image.saveBMP();
        for (int n = 1; ; n++) {
            Path file = dir.resolve("capture-" + n + ".bmp");
            if (Files.exists(file)) {
                continue;
            }
            try {
                Files.write(file, bmp, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE);
                return file;
            } catch (FileAlreadyExistsException e) {
                // another program took this name just now; try the next
            }
        }
    }

    private Thread watchdog(long seconds, Saved saved) {
        Thread t = new Thread(() -> {
            try {
                Thread.sleep(TimeUnit.SECONDS.toMillis(seconds));
            } catch (InterruptedException e) {
                return;
            }
            saved.close("the reader did not finish within " + seconds + " s; giving up");
            Runtime.getRuntime().halt(ExitCode.FAILURE);
        }, "dactylink-watchdog");
        t.setDaemon(true);
        t.start();
        return t;
    }
}
