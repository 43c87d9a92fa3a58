package ardivex.cli;

import ardivex.matching.FingerprintBase;
import ardivex.matching.MatchingException;
import ardivex.matching.NFMatcher;
import ardivex.templates.NFRecord;
import java.io.PrintWriter;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Locale;
import java.util.SortedSet;
import picocli.CommandLine;
import picocli.CommandLine.ParameterException;

/** What the matching commands share: the false match rate option, the base file, codes as text. */
final class Matching {
    /** The false match rate that decides unless another is asked for. */
    static final String DEFAULT_RATE = "1e-3";
    /** The ending H2 gives the file of a base. */
    static final String BASE_ENDING = ".mv.db";

    private Matching() {
    }

    /**
     * The false match rate given on the command line.
     *
     * @throws ParameterException (exit code 2) unless it is a number above 0 and at most 1
     */
    static double rate(CommandLine cl, String text) {
        double r;
        try {
            r = Double.parseDouble(text);
        } catch (NumberFormatException e) {
            r = Double.NaN;
        }
        if (!(r > 0 && r <= 1)) {
            throw new ParameterException(cl, "--rate must be a number above 0 and at most 1, such as 1e-3, not '"
                    + text + "'");
        }
        return r;
    }

    /** The file that holds the base named {@code given}: "people" and "people.mv.db" both name people.mv.db. */
    static Path baseFile(Path given) {
        String name = given.getFileName() == null ? "" : given.getFileName().toString();
        return name.endsWith(BASE_ENDING) ? given : given.resolveSibling(name + BASE_ENDING);
    }

    /**
     * Opens a base file.
     *
     * @param given the base as named on the command line
     * @param create whether a missing base is created; otherwise it is a usage error (exit code 2)
     * @throws CliException when the base is missing (and not to be created) or cannot be opened (exit code 3)
     */
    static FingerprintBase open(Path given, boolean create) throws CliException {
        Path file = baseFile(given);
        if (!create && !Files.isRegularFile(file)) {
            throw new CliException(ExitCode.USAGE, file + ": no such base; enroll creates it");
        }
        try {
            return FingerprintBase.open(file);
        } catch (MatchingException e) {
            throw new CliException(ExitCode.FAILURE, "cannot open the base " + file + " (" + e.getMessage() + ")");
        }
    }

    /**
     * A code as the tool prints it: every character that is not plain visible
     * text (control and format characters, line separators, unassigned code
     * points, half a surrogate pair) and the backslash itself written as an
     * escape, so that no code can move the cursor, start a line or pass for
     * another: "ana\nbob" prints as {@code ana\nbob}, "C:\x" as {@code C:\\x}.
     */
    static String printable(String code) {
        if (code == null) {
            return "(none)";
        }
        StringBuilder out = new StringBuilder(code.length());
        for (int k = 0; k < code.length(); k++) {
            char c = code.charAt(k);
            if (Character.isHighSurrogate(c) && k + 1 < code.length() && Character.isLowSurrogate(code.charAt(k + 1))) {
                int cp = code.codePointAt(k);
                if (plain(cp)) {
                    out.appendCodePoint(cp);
                } else {
                    out.append(String.format(Locale.ROOT, "\\U%08X", cp));
                }
                k++;
            } else if (c == '\\') {
                out.append("\\\\");
            } else if (c == '\n') {
                out.append("\\n");
            } else if (c == '\r') {
                out.append("\\r");
            } else if (c == '\t') {
                out.append("\\t");
            } else if (Character.isSurrogate(c) || !plain(c)) {
                out.append(String.format(Locale.ROOT, "\\u%04X", (int) c));
            } else {
                out.append(c);
            }
        }
        return out.toString();
    }

    private static boolean plain(int codePoint) {
        switch (Character.getType(codePoint)) {
            case Character.CONTROL:
            case Character.FORMAT:
            case Character.LINE_SEPARATOR:
            case Character.PARAGRAPH_SEPARATOR:
            case Character.UNASSIGNED:
            case Character.PRIVATE_USE:
            case Character.SURROGATE:
                return false;
            default:
                return true;
        }
    }

    /** The number of minutiae of a template the matcher read. */
    static int minutiae(byte[] template) {
        try {
            return NFMatcher.check(template);
        } catch (MatchingException e) {
            return 0; // not read: nothing to compare in it
        }
    }

    /** Tells on standard error which rows of the base are left out of the search. */
    static void warnUnreadable(FingerprintBase base, PrintWriter err, String command) throws MatchingException {
        SortedSet<Long> ids = base.unreadableIds();
        if (ids.isEmpty()) {
            return;
        }
        StringBuilder list = new StringBuilder();
        int shown = 0;
        for (long id : ids) {
            if (shown == 10) {
                list.append(" and ").append(ids.size() - shown).append(" more");
                break;
            }
            list.append(shown++ == 0 ? "" : ", ").append(id);
        }
        err.println("dactylink " + command + ": warning: " + ids.size() + (ids.size() == 1 ? " row" : " rows")
                + " of the base " + (ids.size() == 1 ? "is" : "are") + " not a template and left out of the search "
                + "(" + (ids.size() == 1 ? "id " : "ids ") + list + "); FingerprintBase.remove deletes "
                + (ids.size() == 1 ? "it" : "them"));
    }
}
