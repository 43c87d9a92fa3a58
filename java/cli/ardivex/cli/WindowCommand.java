package ardivex.cli;

import ardivex.matching.FingerprintBase;
import java.awt.GraphicsEnvironment;
import java.nio.file.Path;
import java.util.concurrent.CountDownLatch;
import javax.swing.SwingUtilities;
import javax.swing.UIManager;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;

/** {@code window}: the desktop window to capture, enroll, identify and verify. */
@Command(name = "window", mixinStandardHelpOptions = true,
        description = {"Opens a window with the readers (kept up to date as they are plugged and unplugged), the "
                + "live image of the chosen one with its minutiae, guided enrollment into a base, identification of "
                + "the next touch and verification of two files dropped on it. Every control has a key (Alt and the "
                + "underlined letter; Esc cancels)."},
        footerHeading = "%nExit codes:%n",
        footer = {"  0  the window was closed", "  2  usage, or no display to open the window on",
                "  3  failure while running, or a base that cannot be created or opened"})
public final class WindowCommand extends CliCommand {
    @Option(names = "--base", paramLabel = "FILE",
            description = "The base to enroll into and identify against: FILE.mv.db, created when missing "
                    + "(default: a base in memory, gone when the window closes).")
    Path base;

    @Option(names = "--text-scale", paramLabel = "F", defaultValue = "1",
            description = "Make the text F times larger (for example 1.5; default ${DEFAULT-VALUE}).")
    float textScale;

    @Override
    protected int run() throws Exception {
        if (!(textScale >= 0.5f && textScale <= 4f)) {
            throw new CliException(ExitCode.USAGE, "--text-scale must be 0.5 to 4, not " + textScale);
        }
        if (GraphicsEnvironment.isHeadless()) {
            throw new CliException(ExitCode.USAGE, "there is no display to open the window on");
        }
        try (FingerprintBase b = base == null ? FingerprintBase.inMemory() : Matching.open(base, true)) {
            String name = base == null ? "in memory" : Matching.baseFile(base).getFileName().toString();
            CountDownLatch closed = new CountDownLatch(1);
            SwingUtilities.invokeAndWait(() -> {
                try {
                    UIManager.setLookAndFeel(UIManager.getSystemLookAndFeelClassName());
                } catch (Exception e) {
                    // the default look serves as well
                }
                if (textScale != 1f) {
                    ReaderWindow.scaleFonts(textScale);
                }
                ReaderWindow w = new ReaderWindow(b, name);
                w.show();
                w.frame.addWindowListener(new java.awt.event.WindowAdapter() {
                    @Override
                    public void windowClosed(java.awt.event.WindowEvent e) {
                        closed.countDown();
                    }
                });
            });
            closed.await();
        } finally {
            Readers.release();
        }
        return ExitCode.OK;
    }
}
