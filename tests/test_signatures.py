"""What inspect and help() show of the module's functions."""
import inspect
import pydoc

import pytest

import greeks.greeks as g
from helpers import METHODS



def signature_of(params, defaults):
    """The text inspect gives for a method with these parameters and trailing defaults."""
    defaults = defaults or ()
    required = params[:len(params) - len(defaults)]
    optional = [f"{name}={value!r}" for name, value in zip(params[len(required):], defaults)]
    return "(" + ", ".join(["self", *required, *optional]) + ")"


SIGNATURES = {name: signature_of(params, defaults)
              for name, (params, defaults, *_) in METHODS.items()}
SIGNATURES["__reduce_cython__"] = "(self)"
SIGNATURES["__setstate_cython__"] = "(self, __pyx_state)"


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_every_method_shows_its_parameters_and_defaults(name, signature):
    function = getattr(g.Kestrava, name)
    assert str(inspect.signature(function)) == signature
    bound = getattr(g.Kestrava("NIFTY"), name)
    assert str(inspect.signature(bound)) == signature.replace("self, ", "").replace("self", "")
    assert f"{name}{signature}" in pydoc.render_doc(function, renderer=pydoc.plaintext)


def test_the_unpickling_function_shows_its_parameters():
    assert str(inspect.signature(g.__pyx_unpickle_Kestrava)) == \
        "(__pyx_type, __pyx_checksum, __pyx_state)"


def test_signatures_bind_as_the_methods_do():
    signature = inspect.signature(g.Kestrava.monitor_greeks)
    bound = signature.bind(object(), 24600, "07-Aug-2025", interval=2)
    assert bound.arguments["interval"] == 2
    with pytest.raises(TypeError):
        signature.bind(object())


def test_annotations_and_keyword_defaults_behave_as_a_python_functions():
    function = g.Kestrava.get_option_data
    assert function.__kwdefaults__ is None
    assert function.__annotations__ == {}
    function.__annotations__ = {"return": "dict"}
    try:
        assert function.__annotations__ == {"return": "dict"}
        with pytest.raises(TypeError, match="__annotations__ must be set to a dict object"):
            function.__annotations__ = ["not", "a", "dict"]
        with pytest.raises(TypeError):
            del function.__annotations__
    finally:
        function.__annotations__ = {}
    with pytest.raises(AttributeError):
        function.__kwdefaults__ = {}
