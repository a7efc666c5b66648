"""The example graph: a small research agent with a retrieval step over its own documents."""

import quor_core

from quor_runtime import Graph, embed

DOCUMENTS = [
    "Bulk synchronous parallel programs run in supersteps separated by barriers.",
    "A superstep runs every ready node, then folds their writes into the state.",
    "Channels merge writes with reducers: append collects, add sums, last value wins.",
    "Checkpoints frame the state so that a run can resume after a crash.",
    "An audit chain links every entry to the one before with SHA-256.",
    "Cosine similarity ranks documents by the angle between embedding vectors.",
    "Graphs with cycles put the nodes on the cycle into one last superstep.",
    "Costs of model calls are totalled per run for budgeting.",
    "A planner orders nodes by the longest chain of edges that leads to each of them.",
    "Nodes of one superstep see the same state and cannot see each other's writes.",
    "A barrier waits until every node of the superstep has returned its writes.",
    "The append reducer concatenates lists and wraps single values in a list.",
    "The add reducer sums numbers, so token counts can be written by many nodes.",
    "Last value wins for every channel that has no reducer of its own.",
    "State is JSON text in one normal form: compact, keys in ascending byte order.",
    "Normal form makes equal states byte-identical, so they can be hashed and compared.",
    "A checkpoint is written to a temporary file, flushed, synced and renamed into place.",
    "Renaming a file within one folder replaces the old name atomically.",
    "Syncing the folder makes the new name itself survive a power failure.",
    "The audit log is appended and synced before the checkpoint is written.",
    "On resume the newest whole checkpoint is the state to continue from.",
    "A torn audit line at the end of the log is what a crash during an append leaves.",
    "Verifying a chain recomputes every link and reports the first that differs.",
    "Tampering with any entry breaks its link and every link after it.",
    "Retrieval scores every document against the question and keeps the best few.",
    "Hashed bag-of-words embeddings need no model and give the same vectors every time.",
    "Equal scores keep document order, so retrieval results are reproducible.",
    "Independent graph runs can be spread over the workers of a cluster.",
    "A large matrix can be split into shards that are scored on different workers.",
    "Shard results are merged by score and global row number into one ranking.",
    "Agents critique a draft answer before the final answer is written.",
    "Sources from the web and from local documents are ranked together.",
]
MATRIX = [embed(text) for text in DOCUMENTS]


def plan(state):
    return {"messages": {"role": "planner", "text": f"research: {state['question']}"},
            "tokens": 120}, 0.0012


def retrieve(state):
    hits = quor_core.top_k(embed(state["question"]), MATRIX, 3)
    return {"sources": [DOCUMENTS[i] for i, _ in hits], "scores": [s for _, s in hits],
            "tokens": 40}, 0.0002


def search_web(state):
    return {"sources": ["https://example.org/bsp"], "tokens": 300}, 0.0030


def rank(state):
    return {"ranked": sorted(state["sources"]), "tokens": 50}, 0.0005


def summarise(state):
    return {"summary": f"{len(state['ranked'])} sources; best: {state['ranked'][0]}",
            "tokens": 400}, 0.0040


def critique(state):
    return {"messages": {"role": "critic", "text": "cite the documents first"},
            "tokens": 90}, 0.0009


def answer(state):
    return {"messages": {"role": "assistant", "text": state["summary"]}, "done": True}, 0.0021


def build_graph():
    nodes = {f.__name__: f for f in (plan, retrieve, search_web, rank, summarise, critique,
                                     answer)}
    edges = [("plan", "retrieve"), ("plan", "search_web"), ("retrieve", "rank"),
             ("search_web", "rank"), ("rank", "summarise"), ("rank", "critique"),
             ("summarise", "answer"), ("critique", "answer")]
    reducers = {"messages": "append", "sources": "append", "tokens": "add"}
    return Graph(nodes, edges, reducers)


INITIAL_STATE = {"question": "How does a superstep fold node writes into the state?",
                 "messages": [], "tokens": 0}
