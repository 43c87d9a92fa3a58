package ardivex.fingers;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;

import org.junit.jupiter.api.Test;

class NFExtractorMissingEngineTest {
    @Test
    void missingEngineNamesWhereItWasExpectedEveryTime() {
        assertTrue(FakeEngine.withoutEngine(), "needs a library folder without an engine");
        String suffix = System.getProperty("os.name").startsWith("Windows") ? ".dll" : ".so";
        String expected = "Could not load OmExtractor library - "
                + new File(FakeEngine.libraryFolder(), "OmExtract" + suffix).getPath();
        for (int attempt = 0; attempt < 2; attempt++) {
            Exception e = assertThrows(Exception.class, NFExtractor::new);
            assertEquals(Exception.class, e.getClass());
            assertEquals(expected, e.getMessage());
        }
    }
}
