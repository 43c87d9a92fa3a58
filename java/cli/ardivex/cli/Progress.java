package ardivex.cli;

import java.io.PrintWriter;

/**
 * Progress of a long step: a bar redrawn in place on a terminal, plain lines
 * otherwise (a file or a pipe gets no carriage returns).
 */
public final class Progress {
    private static final int BAR = 24;

    private final PrintWriter out;
    private final boolean terminal;
    private final String what;
    private final int total;
    private int done;
    private int shown; // characters of the bar line on screen

    /**
     * @param out where to show it
     * @param terminal whether {@code out} is a terminal ({@link #isTerminal()})
     * @param what what is counted, for example "images"
     * @param total how many are due
     */
    public Progress(PrintWriter out, boolean terminal, String what, int total) {
        this.out = out;
        this.terminal = terminal;
        this.what = what;
        this.total = total;
    }

    /** @return whether standard output is a terminal */
    public static boolean isTerminal() {
        return System.console() != null;
    }

    /**
     * Shows that the next one is awaited.
     *
     * @param seconds how long it has been awaited
     */
    public synchronized void waiting(long seconds) {
        if (terminal) {
            int filled = total == 0 ? BAR : BAR * done / total;
            String line = "[" + "#".repeat(filled) + "-".repeat(BAR - filled) + "] " + done + "/" + total + " "
                    + what + (done < total ? ", waiting " + seconds + " s" : "");
            draw(line);
        }
    }

    /**
     * Counts one more and shows a line about it.
     *
     * @param line what became of it, for example where it was saved
     */
    public synchronized void advance(String line) {
        done++;
        clear();
        out.println(terminal ? line : done + "/" + total + " " + what + ": " + line);
        waiting(0);
        out.flush();
    }

    /** Shows a line that is not a step, keeping the bar below it. */
    public synchronized void note(String line) {
        clear();
        out.println(line);
        out.flush();
    }

    /** Removes the bar; call once at the end. */
    public synchronized void finish() {
        clear();
        out.flush();
    }

    private void draw(String line) {
        String pad = line.length() < shown ? " ".repeat(shown - line.length()) : "";
        out.print("\r" + line + pad);
        out.flush();
        shown = line.length();
    }

    private void clear() {
        if (terminal && shown > 0) {
            out.print("\r" + " ".repeat(shown) + "\r");
            shown = 0;
        }
    }
}
