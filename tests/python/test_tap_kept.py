"""The replies a tap keeps, alone: whatever mix of arrivals, takes by tag,
word, predicate and age, replies put back, replies handed to a wait
directly and trims, every take finds what a plain list of the kept replies
would give, and the count of dropped replies agrees."""

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from sonvex_replies import Reply
from sonvex_replies._kept import KeptReplies

MAX_KEPT = 6
TAGS = st.one_of(st.none(), st.integers(0, 3))
WORDS = st.sampled_from(["PlayEvent", "CallHold", "Done"])


class Kept(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.kept = KeptReplies(MAX_KEPT)
        self.model = []          # (number, reply), oldest first
        self.taken = []          # taken and not yet put back
        self.dropped = 0
        self.time = 0.0

    def reply(self, word, tag):
        self.time += 1.0
        text = word if tag is None else f"{word} 7 COMMANDTAG={tag}"
        return Reply(text, self.time)

    # --- what the model says ----------------------------------------------

    def expect(self, box, found):
        """The take moved exactly the model's choice into the box."""
        if found is None:
            assert box == []
            return
        self.model.remove(found)
        assert box == [(found[0], found[1], None)]
        self.taken.append(found)

    def first(self, match):
        return next((item for item in self.model if match(item[1])), None)

    # --- rules ----------------------------------------------------------------

    @rule(arrivals=st.lists(st.tuples(WORDS, TAGS), min_size=1, max_size=4))
    def arrive(self, arrivals):
        # As a look absorbs a batch: numbered after the last, then trimmed.
        kept = self.kept
        items = []
        for word, tag in arrivals:
            items.append((kept.count + len(items) + 1, self.reply(word, tag)))
        kept.last = items[-1][1]
        kept.count = items[-1][0]
        kept.replies.update(items)
        kept.trim()
        self.model.extend(items)
        while len(self.model) > MAX_KEPT:
            del self.model[0]
            self.dropped += 1

    @rule(word=WORDS, tag=TAGS)
    def handed_directly(self, word, tag):
        # As a wait by tag numbers what the drain handed it: never kept.
        kept = self.kept
        kept.index()
        kept.count += 1
        kept.last = self.reply(word, tag)
        kept.indexed = kept.count

    @rule(tag=st.integers(0, 3))
    def take_tag(self, tag):
        box = []
        found = self.first(lambda r: r.tag == tag)
        assert self.kept.take_tag(tag, box) is (found is not None)
        self.expect(box, found)

    @rule(word=WORDS)
    def take_word(self, word):
        box = []
        found = self.first(lambda r: r.word == word)
        assert self.kept.take_word(word, box) is (found is not None)
        self.expect(box, found)

    @rule()
    def take_oldest(self):
        box = []
        found = self.model[0] if self.model else None
        assert self.kept.take_oldest(box) is (found is not None)
        self.expect(box, found)

    @rule(tag=st.integers(0, 3))
    def take_by_predicate(self, tag):
        box = []
        found = self.first(lambda r: r.tag is not None and r.tag >= tag)
        take = self.kept.taker(lambda r: r.tag is not None and r.tag >= tag)
        assert take(box) is (found is not None)
        self.expect(box, found)

    @rule(which=st.integers(0, 10), twice=st.booleans())
    def put_back(self, which, twice):
        # A wait that could not return its reply gives it back; a look cut
        # short by a handler does it again.
        if not self.taken:
            return
        number, reply = self.taken.pop(which % len(self.taken))
        self.kept.put_back(number, reply)
        if twice:
            self.kept.put_back(number, reply)
        self.model.append((number, reply))
        self.model.sort(key=lambda item: item[0])

    # --- invariants -------------------------------------------------------------

    @invariant()
    def same_replies_in_order(self):
        assert list(self.kept.replies.items()) == self.model
        assert self.kept.dropped == self.dropped


TestKept = Kept.TestCase
TestKept.settings = settings(max_examples=300, stateful_step_count=40, deadline=None,
                             database=None)
