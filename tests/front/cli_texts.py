"""What the command line's end-to-end tests expect of the tool byte for byte: the
usage text and the validation messages (code page 932), and paths in the form the
tool takes them."""
from kavtest import sjis, to_tool_path

USAGE = (b"usage:\r\n"
         b"kavprobe -m single -p targetpath -h kavsharepath [-o logfile] [-t timeout]\r\n"
         b"kavprobe -m double -p targetpath -h kavsharepath [-o logfile] [-t timeout]\r\n"
         b"kavprobe -m userapl -f targetfile [-o logfile] [-t timeout]")
TARGET_IS_FOLDER = sjis("確認対象ファイルにフォルダが指定されています。\r\n")
TARGET_EXISTS = sjis("確認対象ファイルが既に存在しています。\r\n")
TARGET_FOLDER_INVALID = sjis("確認対象ファイルに指定されたフォルダが不正です。\r\n")
SHARE_PATH_INVALID = sjis("指定されたKAVRO間共有環境設定パスが不正です。\r\n")
TARGET_PATH_INVALID = sjis("指定された確認対象パスが不正です。\r\n")
LOG_OPEN_FAILED = sjis("ログファイルを開くことができませんでした。\r\n")


def tool_path(path):
    """A path as the tool takes it: backslashes natively too, Z:\\ under Wine."""
    return to_tool_path(path).replace("/", "\\")
