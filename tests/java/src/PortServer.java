import java.io.IOException;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;

/*
 * A server as real ones are: it listens on a loopback port until the JVM ends,
 * and has a shutdown hook of its own. Its control directory is the first
 * program argument. At start it writes "port" (the port it took), then
 * "started": one line per JVM input argument ("arg <text>"), "module <name>"
 * for each module of the boot layer that is no platform module, and "opens
 * java.lang" when java.lang is open to it. Each connection is answered with
 * "PortServer" and closed. The shutdown hook appends "hook" to the file "hook"
 * and, when the file "hang" exists, never returns (so the JVM never exits).
 */
public class PortServer {
    static void writeAtomically(Path directory, String name, String text) throws IOException {
        Path temporary = directory.resolve(name + ".tmp");
        Files.write(temporary, text.getBytes(StandardCharsets.UTF_8));
        Files.move(temporary, directory.resolve(name), StandardCopyOption.ATOMIC_MOVE);
    }

    static boolean javaLangOpen() {
        try {
            String.class.getDeclaredField("value").setAccessible(true);
            return true;
        } catch (ReflectiveOperationException | RuntimeException e) {
            return false;
        }
    }

    static String startReport() {
        StringBuilder report = new StringBuilder();
        for (String argument : ManagementFactory.getRuntimeMXBean().getInputArguments())
            report.append("arg ").append(argument).append('\n');
        for (Module module : ModuleLayer.boot().modules()) {
            String name = module.getName();
            if (!name.startsWith("java.") && !name.startsWith("jdk.")) report.append("module ").append(name).append('\n');
        }
        if (javaLangOpen()) report.append("opens java.lang\n");
        return report.toString();
    }

    public static void main(String[] args) throws Exception {
        Path directory = Paths.get(args[0]);
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            try {
                Files.write(directory.resolve("hook"), "hook\n".getBytes(StandardCharsets.UTF_8));
                while (Files.exists(directory.resolve("hang"))) Thread.sleep(1000);
            } catch (IOException | InterruptedException e) {
                e.printStackTrace();
            }
        }));
        ServerSocket server = new ServerSocket(0, 50, InetAddress.getLoopbackAddress());
        writeAtomically(directory, "port", server.getLocalPort() + "\n");
        writeAtomically(directory, "started", startReport());
        System.out.println("PortServer listening on " + server.getLocalPort());
        for (;;) {
            try (Socket client = server.accept(); OutputStream out = client.getOutputStream()) {
                out.write("PortServer\n".getBytes(StandardCharsets.UTF_8));
            }
        }
    }
}
