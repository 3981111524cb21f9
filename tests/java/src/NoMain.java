/* A class without a static main(String[]): only an instance main and other methods. */
public class NoMain {
    public void main(String[] args) {
        System.out.println("not static");
    }

    public static int main(String arg) {
        return 0;
    }
}
