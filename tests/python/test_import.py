import varnel


def test_module_imports():
    assert varnel.__name__ == "varnel"
