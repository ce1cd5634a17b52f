"""Imports every back-end module and lists its methods."""
import importlib

MODULES = ["cellcoef", "fieldplot", "surfloss", "blockdraw", "stagedraw",
           "_bandsolve", "arcfind", "viarow", "rlearray"]


def main():
    for name in MODULES:
        module = importlib.import_module(name)
        methods = sorted(k for k in vars(module) if not k.startswith("_"))
        print(f"{name:11s} {', '.join(methods)}")


if __name__ == "__main__":
    main()
