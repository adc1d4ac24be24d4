"""`VelmoraArmKinematics.from_json`: the geometry a document gives, the exact error
message with its prefix, argument handling, and JSON conformance against the
JSONTestSuite corpus. The reader's rules, reason by reason, are the C++ core's
to test; here each family of them crosses the module once."""

from pathlib import Path

import pytest

import velmora_torso_kinematics as vtk
from conftest import float_bits, member_or_skip, raises_exactly

Arm = vtk.VelmoraArmKinematics
PREFIX = "Invalid arms.json: "
REPO_ROOT = Path(__file__).resolve().parents[2]
SUITE_DIR = REPO_ROOT / ".." / "shared" / "jsontestsuite" / "test_parsing"


def from_json(*args, **kwargs):
    return member_or_skip(Arm, "from_json")(*args, **kwargs)


@pytest.mark.parametrize("document, arm_arc, coupler_arc, mirror", [
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5}', 0.7, 0.5, False, id="object"),
    pytest.param('{"mirror": true, "branch": "positive", "coupler_arc": 0.5, "arm_arc": 0.7}',
                 0.7, 0.5, True, id="object-all-members"),
    pytest.param("[0.7, 0.5]", 0.7, 0.5, False, id="array-2"),
    pytest.param('[2, -3, {"negative": null}, true]', 2.0, -3.0, True, id="array-4"),
    pytest.param('{"arm\\u005farc": 0.25, "\\u0063oupler_arc": 0.5, "mi\\u0072ror": true}',
                 0.25, 0.5, True, id="escaped-keys"),
    pytest.param('{"arm_arc": -0, "coupler_arc": 1e-400}', -0.0, 0.0, False, id="zeros"),
    pytest.param('{"arm_arc": 18446744073709551615, "coupler_arc": 9007199254740993}',
                 18446744073709551616.0, 9007199254740992.0, False, id="nearest-double"),
    pytest.param('{"x": 1e999, "x": "\\ud83d\\ude00 é", "arm_arc": 1, "coupler_arc": 2, '
                 '"y": {"z": [null, true, false, -1.5E-3]}}', 1.0, 2.0, False, id="unknown-members"),
])
def test_accepted_document_gives_geometry(document, arm_arc, coupler_arc, mirror):
    arm = from_json(document)
    assert type(arm) is Arm
    assert float_bits([arm.arm_arc(), arm.coupler_arc()]) == float_bits([arm_arc, coupler_arc])
    assert arm.mirror() is mirror


REST_POSITIVE = [0.622814, 0.473503, 0.622814]
REST_NEGATIVE = [0.622814, -0.473503, 0.622814]  # the other closure, mirrored through the elbows' plane
REST_NEGATIVE_MIRRORED = [-0.622814, 0.473503, 0.622814]


@pytest.mark.parametrize("document, rest_direction", [
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5}', REST_POSITIVE, id="default"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": {"positive": null}}', REST_POSITIVE,
                 id="object-positive"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative"}', REST_NEGATIVE,
                 id="string-negative"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "neg\\u0061tive"}', REST_NEGATIVE,
                 id="escaped-negative"),
    pytest.param('{"branch": {"negative" : null }, "mirror": true, "arm_arc": 0.7, "coupler_arc": 0.5}',
                 REST_NEGATIVE_MIRRORED, id="object-negative-mirrored"),
    pytest.param('[0.7, 0.5, "negative", true]', REST_NEGATIVE_MIRRORED, id="array-negative-mirrored"),
])
def test_branch_selects_closure(document, rest_direction):
    assert from_json(document).direction(0.0, 0.0) == pytest.approx(rest_direction, abs=1e-6)


@pytest.mark.parametrize("document, reason", [
    # The stated examples.
    pytest.param("[0.7]", "invalid length 1, expected struct SphericalLinkGeometry with 4 elements "
                 "at line 1 column 5", id="short-array"),
    pytest.param("", "EOF while parsing a value at line 1 column 0", id="empty"),
    pytest.param("{}", "missing field `arm_arc` at line 1 column 2", id="empty-object"),
    pytest.param('{"arm_arc": 0.7, "arm_arc": 0.8, "coupler_arc": 0.5}',
                 "duplicate field `arm_arc` at line 1 column 26", id="duplicate"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "Positive"}',
                 "unknown variant `Positive`, expected `positive` or `negative` at line 1 column 57",
                 id="variant-case"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5, "mirror": 1}',
                 "invalid type: integer `1`, expected a boolean at line 1 column 48", id="mirror-integer"),
    pytest.param('{"arm_arc": null, "coupler_arc": 0.5}',
                 "invalid type: null, expected f64 at line 1 column 16", id="arc-null"),
    pytest.param('{"arm_arc": 0.7, "coupler_arc": 0.5}\n x', "trailing characters at line 2 column 2",
                 id="trailing"),
    # One of each other family: descriptions, branch shapes, syntax, numbers, strings.
    pytest.param('{"mirror": 1e300}', "invalid type: floating point `1e+300`, expected a boolean "
                 "at line 1 column 16", id="mirror-float"),
    pytest.param('{"mirror": "t\\"\\\\\\n\\u001b"}', 'invalid type: string "t\\"\\\\\\n\\u{1b}", '
                 "expected a boolean at line 1 column 26", id="mirror-string-escaped"),
    pytest.param('{"coupler_arc": {"value": 1}}', "invalid type: map, expected f64 at line 1 "
                 "column 28", id="arc-map"),
    pytest.param('{"branch": {"negative": null, "positive": null}}',
                 "expected value at line 1 column 28", id="branch-two-members"),
    pytest.param('{"arm_arc" 1}', "expected `:` at line 1 column 12", id="colon"),
    pytest.param('{"arm_arc": 1, "coupler_arc": 2,}', "trailing comma at line 1 column 33",
                 id="trailing-comma"),
    pytest.param('{"mirror": ture}', "expected ident at line 1 column 13", id="misspelt-true"),
    pytest.param('{"arm_arc": 07}', "invalid number at line 1 column 14", id="leading-zero"),
    pytest.param('{"arm_arc": 1e400}', "number out of range at line 1 column 17", id="overflow"),
    pytest.param('{"x": "\\uD83Dx"}', "lone leading surrogate in hex escape at line 1 column 14",
                 id="lone-leading-surrogate"),
    pytest.param('{"x": "a\tb"}', "control character (\\u0000-\\u001F) found while parsing a "
                 "string at line 1 column 9", id="raw-tab"),
    # Positions count UTF-8 bytes of the text the str encodes to.
    pytest.param('{"é": 1, "arm_arc": x}', "expected value at line 1 column 22", id="two-byte-char"),
    pytest.param('{"😀": 1,\n  "π": x}', "expected value at line 2 column 9", id="four-byte-char"),
    # The reason carries the name as unescaped, NUL included.
    pytest.param('{"branch": "a\\u0000b"}', "unknown variant `a\x00b`, expected `positive` or "
                 "`negative` at line 1 column 21", id="variant-with-nul"),
])
def test_rejected_document_message(document, reason):
    with raises_exactly(ValueError, PREFIX + reason):
        from_json(document)


class Text(str):
    pass


def test_json_by_keyword_and_str_subclass():
    arm = from_json(json='{"arm_arc": 0.25, "coupler_arc": 0.5}')
    assert arm.arm_arc() == 0.25
    assert from_json(Text("[0.7, 0.5, \"positive\", true]")).mirror() is True
    assert type(Arm.default_left().from_json("[1, 2]")) is Arm


@pytest.mark.parametrize("call, exc_type, message", [
    pytest.param(lambda f: f(b"{}"), TypeError,
                 "argument 'json': 'bytes' object cannot be converted to 'PyString'", id="bytes"),
    pytest.param(lambda f: f(None), TypeError,
                 "argument 'json': 'NoneType' object cannot be converted to 'PyString'", id="none"),
    pytest.param(lambda f: f(), TypeError,
                 "VelmoraArmKinematics.from_json() missing 1 required positional argument: 'json'",
                 id="missing"),
    pytest.param(lambda f: f("[1, 2]", "[1, 2]"), TypeError,
                 "VelmoraArmKinematics.from_json() takes 1 positional arguments but 2 were given",
                 id="two-positional"),
    pytest.param(lambda f: f(text="[1, 2]"), TypeError,
                 "VelmoraArmKinematics.from_json() got an unexpected keyword argument 'text'",
                 id="unknown-keyword"),
])
def test_argument_errors(call, exc_type, message):
    with raises_exactly(exc_type, message):
        call(from_json)


def test_lone_surrogate_str_cannot_be_encoded():
    with raises_exactly(UnicodeEncodeError):
        from_json('{"arm_arc": 1, "coupler_arc": 2, "x": "\ud800"}')


# --- JSONTestSuite conformance ------------------------------------------------
#
# Each corpus text is embedded as the value of an unknown member, which the
# reader must check for well-formedness like any JSON value. Embedding must not
# change a text's verdict: an n_ text that is an unfinished prefix could in
# principle be completed by the closing brace that follows it. Each text is
# therefore tried twice, closed by "}" and by "\n}"; the n_ texts must fail both
# ways, and with this corpus none needs excluding: every unfinished n_ text
# leaves either a string, a number or the outer object itself unfinished, and
# no n_ text carries a stray comma-and-member tail that could join our object.
# Texts that are not UTF-8 cannot be a str and are skipped.

EMBED_HEAD = '{"arm_arc": 0.7, "coupler_arc": 0.5, "x": '


def suite_cases():
    if not SUITE_DIR.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason=f"{SUITE_DIR} is absent"),
                             id="corpus-absent")]
    return [pytest.param(path, id=path.name) for path in sorted(SUITE_DIR.glob("*.json"))]


@pytest.mark.parametrize("closing", ["}", "\n}"], ids=["brace", "newline-brace"])
@pytest.mark.parametrize("path", suite_cases())
def test_json_test_suite(path, closing):
    try:
        text = path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not UTF-8: cannot be passed as a str")
    document = EMBED_HEAD + text + closing
    verdict = path.name[0]
    if verdict == "y":
        arm = from_json(document)
        assert (arm.arm_arc(), arm.coupler_arc()) == (0.7, 0.5)
    elif verdict == "n":
        with raises_exactly(ValueError, prefix=PREFIX):
            from_json(document)
    else:
        try:
            arm = from_json(document)
        except ValueError as error:
            assert type(error) is ValueError and str(error).startswith(PREFIX)
        else:
            assert (arm.arm_arc(), arm.coupler_arc()) == (0.7, 0.5)
