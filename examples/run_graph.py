"""Plan a small research-agent graph and run it superstep by superstep.

Each node is a plain Python function that reads the state and returns its writes. After
every superstep the writes of all nodes that ran are folded into the state in one call.
"""

import json

import quor_core

NODES = ["plan", "search_web", "search_docs", "rank", "summarise", "critique", "answer"]
EDGES = [
    ("plan", "search_web"),
    ("plan", "search_docs"),
    ("search_web", "rank"),
    ("search_docs", "rank"),
    ("rank", "summarise"),
    ("rank", "critique"),
    ("summarise", "answer"),
    ("critique", "answer"),
]
REDUCERS = {"messages": "append", "sources": "append", "tokens": "add", "cost": "add"}


def plan(state):
    return {"messages": {"role": "planner", "text": f"research: {state['question']}"},
            "tokens": 120, "cost": 0.0012}


def search_web(state):
    return {"sources": ["https://example.org/bsp", "https://example.org/graphs"], "tokens": 300}


def search_docs(state):
    return {"sources": ["docs/supersteps.md"], "tokens": 80, "cost": 0.0004}


def rank(state):
    return {"ranked": sorted(state["sources"]), "tokens": 50}


def summarise(state):
    return {"summary": f"{len(state['ranked'])} sources agree", "tokens": 400, "cost": 0.004}


def critique(state):
    return {"messages": {"role": "critic", "text": "cite the docs first"}, "tokens": 90}


def answer(state):
    return {"messages": {"role": "assistant", "text": state["summary"]}, "done": True}


FUNCTIONS = {f.__name__: f for f in (plan, search_web, search_docs, rank, summarise,
                                     critique, answer)}


def main():
    supersteps = quor_core.plan_supersteps(NODES, EDGES)
    print("plan:", supersteps)

    state = json.dumps({"question": "how do BSP supersteps work?", "messages": []})
    reducers = json.dumps(REDUCERS)
    for number, step in enumerate(supersteps):
        view = json.loads(state)  # every node of a superstep sees the same state
        updates = [FUNCTIONS[name](view) for name in step]
        state = quor_core.advance_superstep(state, reducers, json.dumps(updates))
        checkpoint = quor_core.encode_checkpoint(state)
        print(f"superstep {number} {step}: {len(checkpoint)}-byte checkpoint")
        print("  state:", state)

    assert quor_core.decode_checkpoint(checkpoint) == state


if __name__ == "__main__":
    main()
