package org.pelorim.test;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;

/* A main class in a package: writes its arguments, one per line, to the file
 * args[0] (the first line is args[0] itself) and returns. */
public class PackagedMain {
    public static void main(String[] args) throws Exception {
        if (args.length == 0) return;
        StringBuilder text = new StringBuilder();
        for (String arg : args) text.append(arg).append('\n');
        Files.write(Paths.get(args[0]), text.toString().getBytes(StandardCharsets.UTF_8));
    }
}
